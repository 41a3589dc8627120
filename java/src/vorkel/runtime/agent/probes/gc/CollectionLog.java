package vorkel.runtime.agent.probes.gc;

import java.util.List;

import vorkel.runtime.agent.bootstrap.AgentLogger;

/**
 * The agent's own GC report: an info line "Garbage collections seen: N" each time the count passes
 * another multiple of {@code every} (option "gcreport", 0 for none), and one line per J9 collection.
 */
public final class CollectionLog implements GarbageCollectionNativeImpl.Listener {
    private final AgentLogger logger;
    private final int every;
    private int lastReported;

    public CollectionLog(AgentLogger logger, int every) {
        this.logger = logger;
        this.every = every;
    }

    @Override
    public void collectionsFinished(int gcCount) {
        if (every <= 0 || gcCount / every == lastReported / every) {
            return;
        }
        lastReported = gcCount;
        logger.info("Garbage collections seen: " + gcCount);
    }

    @Override
    public void j9Collections(List<J9Collection> collections) {
        for (J9Collection collection : collections) {
            logger.info("J9 collection: " + collection);
        }
    }
}
