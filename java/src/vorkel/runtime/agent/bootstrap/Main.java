package vorkel.runtime.agent.bootstrap;

import java.io.File;

import vorkel.runtime.agent.oom.OomDumpNativeImpl;

/**
 * The agent jar as a program:
 * <ul>
 * <li>"forked_job MODE DIRECTORY" is the uploader fork the agent starts (see {@link ForkedJob});</li>
 * <li>"compress INFO GRAPH ARCHIVE" packs two snapshot files into an archive by hand, through the
 * native library named by -Dvorkel.library (default: lib/libvorkel.so beside the jar), and prints
 * the result and the time it took.</li>
 * </ul>
 */
public final class Main {
    private Main() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length == 3 && "forked_job".equals(args[0])) {
            System.exit(ForkedJob.run(args[1], new File(args[2])));
        }
        if (args.length == 4 && "compress".equals(args[0])) {
            System.exit(compress(args[1], args[2], args[3]));
        }
        System.err.println("usage: java -jar vorkel-agent.jar forked_job oom|all DIRECTORY");
        System.err.println("       java -jar vorkel-agent.jar compress INFO_FILE GRAPH_FILE ARCHIVE");
        System.exit(2);
    }

    private static int compress(String info, String graph, String archive) {
        String library = ForkedJob.libraryPath();
        System.load(library);
        new NativeAgentInitialiser().initNativeLogging(new AgentLogger(true), "compress");
        long start = System.nanoTime();
        boolean packed = OomDumpNativeImpl.compressDump(info, graph, archive);
        long elapsed = System.nanoTime() - start;
        System.out.printf("compressDump %s in %.3f s%n", packed, elapsed / 1e9);
        return packed ? 0 : 1;
    }
}
