package vorkel.test;

import java.io.File;

import vorkel.runtime.agent.oom.OomDumpNativeImpl;

import static vorkel.test.Harness.loggerSaw;
import static vorkel.test.Harness.result;

/** In-JVM halves of the archive tests: compressDump, the snapshot directory lock and the fork's arguments. */
public final class ArchiveScenarios {
    private ArchiveScenarios() {
    }

    /** args: scenario, info path, graph path, archive path. */
    public static void compress(String[] args) {
        result("compressed", OomDumpNativeImpl.compressDump(args[1], args[2], args[3]));
        result("logger_saw_start", loggerSaw("Starting to compress files " + args[1]));
        result("null_info", OomDumpNativeImpl.compressDump(null, args[2], args[3]));
        result("null_graph", OomDumpNativeImpl.compressDump(args[1], null, args[3]));
        result("null_archive", OomDumpNativeImpl.compressDump(args[1], args[2], null));
        result("logger_saw_null", loggerSaw("compressDump: argument graphPath is null"));
        String unwritable = new File(new File(args[3]).getParentFile(), "missing/a.tar.bz2").getPath();
        result("unwritable", OomDumpNativeImpl.compressDump(args[1], args[2], unwritable));
        result("logger_saw_unwritable", loggerSaw("Failed to open archive file for writing (2)."));
    }

    /** args: scenario, lock file, a file whose appearance lets the scenario go on. */
    public static void lock(String[] args) throws Exception {
        long handle = OomDumpNativeImpl.dumpAccessLock(args[1]);
        result("locked", handle >= 0);
        result("second_lock", OomDumpNativeImpl.dumpAccessLock(args[1]));
        System.out.println("HOLDING");
        System.out.flush();
        File go = new File(args[2]);
        long deadline = System.currentTimeMillis() + 60_000;
        while (!go.exists() && System.currentTimeMillis() < deadline) {
            Thread.sleep(20);
        }
        OomDumpNativeImpl.dumpAccessUnlock(handle);
        long again = OomDumpNativeImpl.dumpAccessLock(args[1]);
        result("relocked", again >= 0);
        OomDumpNativeImpl.dumpAccessUnlock(again);
        // Handles that are not held are refused: a released one, standard input, a negative one.
        OomDumpNativeImpl.dumpAccessUnlock(again);
        OomDumpNativeImpl.dumpAccessUnlock(0);
        OomDumpNativeImpl.dumpAccessUnlock(-1);
        result("stdin_still_open", new File("/proc/self/fd/0").exists());
        result("logger_saw_refusal", loggerSaw(again + " is not a held snapshot directory lock"));
        result("null_lock", OomDumpNativeImpl.dumpAccessLock(null));
        result("logger_saw_null", loggerSaw("dumpAccessLock: the lock file path is null."));
        result("missing_directory_lock",
                OomDumpNativeImpl.dumpAccessLock(new File(go.getParentFile(), "missing/context.lock").getPath()));
    }

    /** Prints the uploader fork's JVM arguments as the agent keeps them. */
    public static void forkArguments(String[] args) {
        for (int i = 0;; i++) {
            String argument = ArchiveProbe.jvmArgument(i);
            if (argument == null) {
                result("fork_argument_count", i);
                return;
            }
            result("fork_argument_" + i, argument);
        }
    }
}
