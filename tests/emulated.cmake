# The JVM tests of a cross build (cmake/aarch64-linux-gnu.cmake), which run in the target's JDK
# under qemu user-mode emulation. An emulated JVM starts in seconds and runs many times slower
# than a native one, so the set is chosen to cover each subsystem once in a few minutes:
#   the agent's start in the JVM, the library file (exports, no C++ runtime) and its helper modes
#   started as a program; a heap OutOfMemoryError and its snapshot read back by the snapshot
#   reader; the archive packed in the JVM and by the uploader fork and posted to a collector;
#   the allocation statistics; a transaction's long wait and its blocker; the file-stream rows of
#   a transaction; the notify helper and the exit monitor; the VM structure reader on the target's
#   JVM library.
set(VORKEL_EMULATED_JVM_TESTS
    Jdks/AgentJvm.LoadsAsAgentAndStartsOnce/*
    AgentLibrary.*
    Jdks/Snapshot.OomBeforeConfigurationLeavesTheTypeOpen/*
    Jdks/ArchiveJvm.CompressDumpPacksFilesAndRefusesBadArguments/*
    Jdks/ArchiveJvm.ForkPacksTheSnapshotAndPostsItToTheCollector/*
    Jdks/StatisticsJvm.ConcurrentRecordingCountsExactlyAndCollectionUncounts/*
    Jdks/TransactionsJvm.LongWaitsThresholdsExclusionsAndSummaries/*
    Jdks/FileStreamsJvm.ATransactionGetsOneRowPerStreamAndKindWithTimingsAndStacks/*
    NotifyHelper.PostsTheStatusNotification
    Jdks/ExitMonitor.ReportsAKilledJvmAndEnds/*
    Jdks/VmStructsJvm.TheLoadedLibrarysTablesLayoutVirtualTablesAndClassMetadataRead/*)
list(JOIN VORKEL_EMULATED_JVM_TESTS ":" VORKEL_EMULATED_JVM_FILTER)
gtest_discover_tests(vorkel_jvm_tests TEST_FILTER "${VORKEL_EMULATED_JVM_FILTER}" DISCOVERY_TIMEOUT 120
                     PROPERTIES LABELS jvm TIMEOUT 900)
