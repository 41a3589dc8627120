package vorkel.runtime.agent.bootstrap;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;

/** The agent jar as a program: "forked_job MODE DIRECTORY" is the uploader fork the agent starts. */
public final class Main {
    private Main() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length == 3 && "forked_job".equals(args[0])) {
            System.exit(ForkedJob.run(args[1], new File(args[2])));
        }
        System.err.println("usage: java -jar vorkel-agent.jar forked_job oom|all DIRECTORY");
        System.exit(2);
    }
}
