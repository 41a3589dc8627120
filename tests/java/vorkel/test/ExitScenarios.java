package vorkel.test;

import java.lang.reflect.Field;
import java.lang.reflect.Method;

import vorkel.runtime.agent.bootstrap.Agent;
import vorkel.runtime.agent.fork.AgentStartupForker;

import static vorkel.test.Harness.result;

/** JVMs that end in the ways the process exit monitor reports, and the uploader fork's start. */
public final class ExitScenarios {
    private ExitScenarios() {
    }

    /**
     * Says it is ready and waits to be killed. With a work directory as argument, the agent is
     * configured a second time first (to other values): the exit monitor already runs and stays
     * the only one.
     */
    public static void waitForKill(String[] args) throws Exception {
        if (args.length > 1) {
            Agent.initialiser().configure("127.0.0.1", 1, "again", "again", "again", args[1], args[1], "java", "jar",
                    "self", new String[0], "vm", "1", "");
        }
        result("ready", true);
        System.out.flush();
        Thread.sleep(120_000);
    }

    /** Writes to address 0 through sun.misc.Unsafe: the JVM writes its crash log and aborts. */
    public static void crash(String[] args) throws Exception {
        Class<?> unsafeClass = Class.forName("sun.misc.Unsafe");
        Field field = unsafeClass.getDeclaredField("theUnsafe");
        field.setAccessible(true);
        Object unsafe = field.get(null);
        Method putAddress = unsafeClass.getMethod("putAddress", long.class, long.class);
        result("crashing", true);
        System.out.flush();
        putAddress.invoke(unsafe, 0L, 42L);
        result("survived", true);
    }

    public static void fork(String[] args) {
        result("fork", AgentStartupForker.startForkedProcess());
    }
}
