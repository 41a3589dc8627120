# The tests of a cross build (cmake/aarch64-linux-gnu.cmake), which run under qemu user-mode
# emulation: the unit tests, and the JVM tests in the target's JDK.
#
# VORKEL_EMULATION_UNSUPPORTED_FILTER: unit cases that test what the emulator does not pass on to
# the kernel, so that they cannot pass under it (on the target itself they run):
#   - a seccomp filter refusing process_vm_readv: qemu refuses to install guest seccomp filters
#     (they would apply to the host's system call numbers);
#   - an address-space limit (RLIMIT_AS) making allocations fail: qemu keeps that limit off its
#     own process, so the allocations succeed.
set(VORKEL_EMULATION_UNSUPPORTED
    SystemSafeReads.WithTheKernelCopyRefusedReadsGoThroughAPipe
    SystemArchive.BuffersThatCannotBeAllocatedRefuseTheArchive)
list(JOIN VORKEL_EMULATION_UNSUPPORTED ":" VORKEL_EMULATION_UNSUPPORTED_FILTER)
# Emulated compression is slow: the archive case that compresses 50 million bytes takes 70 s on an
# idle machine and passed 120 s on a loaded one.
set(VORKEL_UNIT_TIMEOUT 600)

# VORKEL_EMULATED_JVM_FILTER: an emulated JVM starts in a few seconds and runs many times slower
# than a native one, so the JVM tests are a chosen set that covers each subsystem in about two
# minutes of test time, without the cases whose bounds on elapsed time an emulated JVM under load
# misses (the API's reports, where a transaction around a 200 ms wait must stay under the 300 ms
# slow threshold):
#   the library file (exports, no C++ runtime, the helper modes started as a program); the agent's
#   start, natives of the spine, logging and the clock in the JVM; a heap OutOfMemoryError, its
#   snapshot read back and analysed by the snapshot reader; the archive packed in the JVM and by
#   the uploader fork and posted to a collector, and the directory lock; the allocation statistics
#   and the calibration to the JVM's array sizes; a transaction's long wait and its blocker; the
#   file-stream hooks bound by the JVM and a transaction's rows; stack texts and the thread dump;
#   the collection count; the notify helper and the exit monitor; the VM structure reader on the
#   target's JVM library.
set(VORKEL_EMULATED_JVM_TESTS
    AgentLibrary.* NotifyHelper.* MonitorHelper.* Jdks/AgentJvm.* Jdks/ExitMonitor.*
    Jdks/Snapshot.OomBeforeConfigurationLeavesTheTypeOpen/* Jdks/AnalysedSnapshot.*
    Jdks/ArchiveJvm.CompressDumpPacksFilesAndRefusesBadArguments/*
    Jdks/ArchiveJvm.DumpAccessLockExcludesOtherProcessesUntilReleased/*
    Jdks/ArchiveJvm.ForkPacksTheSnapshotAndPostsItToTheCollector/*
    Jdks/StatisticsJvm.ConcurrentRecordingCountsExactlyAndCollectionUncounts/*
    Jdks/StatisticsJvm.CalibrationFollowsTheJvmsArraySizes/*
    Jdks/TransactionsJvm.LongWaitsThresholdsExclusionsAndSummaries/*
    Jdks/FileStreamsJvm.TheJvmBindsEachNativeAtItsFirstCallAndAgainAfterEverySwitch/*
    Jdks/FileStreamsJvm.ATransactionGetsOneRowPerStreamAndKindWithTimingsAndStacks/*
    Jdks/TagsThreadsJvm.StackTextsHaveExactLinesAndAreCutToWholeLines/*
    Jdks/TagsThreadsJvm.ThreadDumpListsEveryLiveThread/* Jdks/GcJvm.TheAgentLogsTheCountItSees/*
    Jdks/VmStructsJvm.*)
list(JOIN VORKEL_EMULATED_JVM_TESTS ":" VORKEL_EMULATED_JVM_FILTER)
