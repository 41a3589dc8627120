package vorkel.runtime.agent.bootstrap;

import java.io.PrintStream;
import java.util.ArrayList;
import java.util.List;

/** The logger the native agent writes to: lines go to standard error and are kept for inspection. */
public class AgentLogger {
    private static final int KEPT_LINES = 10000;
    private final List<String> lines = new ArrayList<>();
    private final PrintStream out;
    private final boolean echo;

    public AgentLogger(boolean echo) {
        this.out = System.err;
        this.echo = echo;
    }

    public void debug(String message) {
        log("DEBUG", message);
    }

    public void info(String message) {
        log("INFO", message);
    }

    public void warn(String message) {
        log("WARN", message);
    }

    public void error(String message) {
        log("ERROR", message);
    }

    private void log(String level, String message) {
        String line = level + " " + message;
        synchronized (lines) {
            if (lines.size() == KEPT_LINES) {
                lines.remove(0);
            }
            lines.add(line);
        }
        if (echo) {
            out.println("[vorkel] " + line);
        }
    }

    /** The lines logged so far, "LEVEL message" each. */
    public List<String> lines() {
        synchronized (lines) {
            return new ArrayList<>(lines);
        }
    }
}
