package vorkel.runtime.agent.probes.contention;

import vorkel.runtime.agent.transactions.Json;

/** One long wait for a monitor inside a transaction, with the thread that held it when found. */
public final class LongLockWait {
    public final String threadName;
    public final String lockClass;
    public final String declaringClass;
    public final String methodName;
    public final String stack;
    public final long durationMillis;
    public final long startMillis;
    public final String blockerName;
    public final String blockerStack;
    public final short detectionAttempts;
    public final short detectionsConfirmed;
    /** Failed detections by kind: usage unreadable, no owner, second reading failed, owner changed. */
    public final short[] detectionFailures;

    public LongLockWait(String threadName, String lockClass, String declaringClass, String methodName, String stack,
            long durationMillis, long startMillis, String blockerName, String blockerStack, short detectionAttempts,
            short detectionsConfirmed, short usageFailed, short noOwner, short recheckFailed, short ownerChanged) {
        this.threadName = threadName;
        this.lockClass = lockClass;
        this.declaringClass = declaringClass;
        this.methodName = methodName;
        this.stack = stack;
        this.durationMillis = durationMillis;
        this.startMillis = startMillis;
        this.blockerName = blockerName;
        this.blockerStack = blockerStack;
        this.detectionAttempts = detectionAttempts;
        this.detectionsConfirmed = detectionsConfirmed;
        this.detectionFailures = new short[] {usageFailed, noOwner, recheckFailed, ownerChanged};
    }

    void writeTo(Json out) {
        out.beginObject().field("thread", threadName).field("lockClass", lockClass)
                .field("declaringClass", declaringClass).field("method", methodName)
                .field("durationMs", durationMillis).field("startMs", startMillis).field("stack", stack)
                .field("blocker", blockerName).field("blockerStack", blockerStack);
        out.name("detections").beginObject().field("attempts", detectionAttempts)
                .field("confirmed", detectionsConfirmed).field("usageFailed", detectionFailures[0])
                .field("noOwner", detectionFailures[1]).field("recheckFailed", detectionFailures[2])
                .field("ownerChanged", detectionFailures[3]).endObject();
        out.endObject();
    }
}
