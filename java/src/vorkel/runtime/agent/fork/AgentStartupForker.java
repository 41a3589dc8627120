package vorkel.runtime.agent.fork;

/** Starts the uploader fork for every snapshot left in the work directory. */
public final class AgentStartupForker {
    private AgentStartupForker() {
    }

    public static native boolean startForkedProcess();
}
