package vorkel.runtime.agent.transactions;

import vorkel.runtime.agent.probes.ut.natives.NativeTransactionSummary;
import vorkel.runtime.agent.probes.ut.natives.RootCausePresenceMarker;

/**
 * The report of one ended transaction, as the JSON body of one POST to the collector:
 *
 * <pre>
 * {"report":"transaction","name":...,"thread":...,"startMs":...,"durationMs":...,"account":...,
 *  "jvm":...,"session":...,"reason":"lock wait"|"slow"|"lock wait, slow","rootCause":true|false,
 *  "error":null|"java.lang.X: message",
 *  "sections":[{"section":"timings",...},{"section":"lockWaits",...}, ...]}
 * </pre>
 *
 * Each non-null native summary with a section name adds one section, in the order of the summary
 * array; a new kind of summary adds its section without changing the rest.
 */
final class TransactionReport {
    private final String name;
    private final String threadName;
    private final long startMillis;
    private final long durationMillis;
    private final NativeTransactionSummary[] summaries;
    private final Throwable failure;

    TransactionReport(String name, String threadName, long startMillis, long durationMillis,
            NativeTransactionSummary[] summaries, Throwable failure) {
        this.name = name;
        this.threadName = threadName;
        this.startMillis = startMillis;
        this.durationMillis = durationMillis;
        this.summaries = summaries;
        this.failure = failure;
    }

    boolean notable() {
        for (NativeTransactionSummary summary : summaries) {
            if (summary != null && summary.notable()) {
                return true;
            }
        }
        return false;
    }

    String toJson(Transactions.Settings settings, boolean slow) {
        boolean rootCause = false;
        for (NativeTransactionSummary summary : summaries) {
            rootCause |= summary instanceof RootCausePresenceMarker;
        }
        String reason = notable() ? (slow ? "lock wait, slow" : "lock wait") : "slow";
        Json out = new Json().beginObject().field("report", "transaction").field("name", name)
                .field("thread", threadName).field("startMs", startMillis).field("durationMs", durationMillis)
                .field("account", settings.account).field("jvm", settings.jvm).field("session", settings.session)
                .field("reason", reason).field("rootCause", rootCause)
                .field("error", failure == null ? null : failure.getClass().getName()
                        + (failure.getMessage() == null ? "" : ": " + failure.getMessage()));
        out.name("sections").beginArray();
        for (NativeTransactionSummary summary : summaries) {
            if (summary == null || summary.section() == null) {
                continue;
            }
            out.beginObject().field("section", summary.section());
            summary.writeFields(out);
            out.endObject();
        }
        return out.endArray().endObject().toString();
    }
}
