package vorkel.runtime.agent.probes.contention;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

import vorkel.runtime.agent.probes.ut.natives.NativeTransactionSummary;
import vorkel.runtime.agent.transactions.Json;

/**
 * The long lock waits of one transaction (newest first) and the blocker detections whose wait
 * ended before their result could be kept (counted process-wide since the previous flush).
 */
public final class LockContentionSummary extends NativeTransactionSummary {
    private final List<LongLockWait> waits;
    private final int missedDetections;

    public LockContentionSummary(LongLockWait[] waits, int missedDetections) {
        List<LongLockWait> kept = new ArrayList<>();
        if (waits != null) {
            for (LongLockWait wait : waits) {
                if (wait != null) {
                    kept.add(wait);
                }
            }
        }
        this.waits = Collections.unmodifiableList(kept);
        this.missedDetections = missedDetections;
    }

    public List<LongLockWait> waits() {
        return waits;
    }

    public int missedDetections() {
        return missedDetections;
    }

    @Override
    public String section() {
        return "lockWaits";
    }

    @Override
    public boolean notable() {
        return !waits.isEmpty();
    }

    @Override
    public void writeFields(Json out) {
        out.field("count", waits.size()).field("missedDetections", missedDetections);
        out.name("waits").beginArray();
        for (LongLockWait wait : waits) {
            wait.writeTo(out);
        }
        out.endArray();
    }
}
