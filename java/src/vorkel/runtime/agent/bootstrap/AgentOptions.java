package vorkel.runtime.agent.bootstrap;

import java.io.File;
import java.util.LinkedHashMap;
import java.util.Map;

/**
 * Agent options, given as "key=value,key=value" after the agent jar on the command line.
 * Paths default to the installed layout: home/lib/libvorkel.so and home/lib/vorkel-agent.jar.
 */
public final class AgentOptions {
    private final Map<String, String> values = new LinkedHashMap<>();

    public AgentOptions(String text) {
        if (text != null) {
            for (String part : text.split(",")) {
                if (part.isEmpty()) {
                    continue;
                }
                int equals = part.indexOf('=');
                if (equals < 0) {
                    values.put(part, "true");
                } else {
                    values.put(part.substring(0, equals), part.substring(equals + 1));
                }
            }
        }
    }

    public String get(String key, String fallback) {
        String value = values.get(key);
        return value == null ? fallback : value;
    }

    public int getInt(String key, int fallback) {
        String value = values.get(key);
        return value == null ? fallback : Integer.parseInt(value);
    }

    public long getLong(String key, long fallback) {
        String value = values.get(key);
        return value == null ? fallback : Long.parseLong(value);
    }

    public boolean getBoolean(String key, boolean fallback) {
        String value = values.get(key);
        return value == null ? fallback : Boolean.parseBoolean(value);
    }

    /** The directory holding the agent jar (home/lib), or the current directory. */
    public static File jarDirectory() {
        try {
            File jar = new File(AgentOptions.class.getProtectionDomain().getCodeSource().getLocation().toURI());
            return jar.getParentFile();
        } catch (Exception e) {
            return new File(".");
        }
    }

    public static File jarFile() {
        try {
            return new File(AgentOptions.class.getProtectionDomain().getCodeSource().getLocation().toURI());
        } catch (Exception e) {
            return new File("vorkel-agent.jar");
        }
    }
}
