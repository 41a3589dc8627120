package vorkel.runtime.agent.collect;

/** The number of garbage collections the native agent has seen, kept current by its GC reporter thread. */
public final class GenerationCounterNative {
    /** Collections finished since the agent was loaded, as of the reporter thread's last pass. */
    public static volatile int gcCount;

    private GenerationCounterNative() {
    }
}
