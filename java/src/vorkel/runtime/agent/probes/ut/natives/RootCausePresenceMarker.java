package vorkel.runtime.agent.probes.ut.natives;

import vorkel.runtime.agent.transactions.Json;

/** Present in a transaction's summaries once a long lock wait was recorded in it. */
public final class RootCausePresenceMarker extends NativeTransactionSummary {
    public RootCausePresenceMarker() {
    }

    @Override
    public String section() {
        return null;
    }

    @Override
    public void writeFields(Json out) {
    }
}
