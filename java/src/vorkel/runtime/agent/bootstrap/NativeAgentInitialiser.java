package vorkel.runtime.agent.bootstrap;

/** The natives that bring the native agent up, called in this order at start-up. */
public class NativeAgentInitialiser {
    public native void initNativeLogging(Object logger, String role);

    public native void configure(String collectorHost, int collectorPort, String accountId, String jvmId,
            String sessionId, String homeDir, String workDir, String javaExecutable, String agentJar,
            String selfExecutable, String[] jvmArguments, String vmName, String vmVersion, String crashLogPattern);

    public native void configureOomQueries(String host, int port, String detailsLocation, boolean sendNotifications,
            boolean safetyCheck);

    /** The JVM's input arguments, or null where the JVM cannot list them this way. */
    public native String[] vmArguments();

    public native int startNativeAgent(long disabledFeatures);

    /** Whether the native agent was loaded into the running JVM rather than at its start. */
    public native boolean loadedIntoRunningJvm();

    public native void disableAgent();
}
