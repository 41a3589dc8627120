package vorkel.runtime.agent.bootstrap;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;

/** The uploader fork's work. For now it records that it ran, in the directory it was given. */
public final class ForkedJob {
    private ForkedJob() {
    }

    static int run(String mode, File directory) throws IOException {
        String marker = "mode=" + mode + "\nhome=" + System.getenv("VORKEL_HOME") + "\nfork="
                + System.getProperty("vorkelFork") + "\n";
        Files.write(new File(directory, "forked_job.started").toPath(), marker.getBytes(StandardCharsets.UTF_8));
        return 0;
    }
}
