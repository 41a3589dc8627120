package vorkel.runtime.agent.probes.ut.natives;

import vorkel.runtime.agent.transactions.Json;

/**
 * What the native probes hand over for one transaction: the element type of the array that
 * {@link UserTransactionNativeImpl#fetchNativeSummaries()} returns. Each kind of summary writes
 * itself as one section of the transaction report.
 */
public abstract class NativeTransactionSummary {
    /** The report section's name ("timings", "lockWaits", ...), or null when it makes none. */
    public abstract String section();

    /** Whether this summary alone makes the transaction worth reporting. */
    public boolean notable() {
        return false;
    }

    /** Writes the section's fields into the open JSON object of the section. */
    public abstract void writeFields(Json out);
}
