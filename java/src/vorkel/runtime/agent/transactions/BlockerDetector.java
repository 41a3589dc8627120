package vorkel.runtime.agent.transactions;

import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.LockSupport;

import vorkel.runtime.agent.probes.contention.LockContentionNativeImpl;

/**
 * The daemon thread that runs blocker detection every interval while any transaction is open, and
 * sleeps while none is. It uses no monitors, so that it never adds contention of its own, and it is
 * woken only from that sleep: a transaction that opens while it waits for its next pass (one thread
 * running transaction after transaction) leaves the interval alone.
 */
final class BlockerDetector {
    private final LockContentionNativeImpl contention;
    private final long intervalNanos;
    private final AtomicInteger open = new AtomicInteger();
    private final AtomicBoolean started = new AtomicBoolean();
    private volatile Thread thread;
    private volatile boolean idle;

    BlockerDetector(LockContentionNativeImpl contention, long intervalMillis) {
        this.contention = contention;
        this.intervalNanos = intervalMillis * 1_000_000;
    }

    void opened() {
        if (open.getAndIncrement() == 0) {
            if (started.compareAndSet(false, true)) {
                Thread detector = new Thread(new Detection(), "vorkel blocker detection");
                detector.setDaemon(true);
                thread = detector;
                detector.start();
            } else if (idle) {
                LockSupport.unpark(thread);
            }
        }
    }

    void closed() {
        open.decrementAndGet();
    }

    /** The detection thread's body (no method reference, whose bootstrap the first transaction would pay). */
    private final class Detection implements Runnable {
        @Override
        public void run() {
            detect();
        }
    }

    private void detect() {
        for (;;) {
            if (open.get() <= 0) {
                idle = true;
                if (open.get() <= 0) {
                    LockSupport.park(this);
                }
                idle = false;
                continue;
            }
            try {
                contention.runBlockerDetection();
            } catch (RuntimeException e) {
                // A failed pass is logged natively; the next one tries again.
            }
            LockSupport.parkNanos(this, intervalNanos);
        }
    }
}
