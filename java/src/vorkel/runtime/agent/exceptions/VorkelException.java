package vorkel.runtime.agent.exceptions;

/** Thrown by the native agent when a JVMTI or JNI operation failed. */
public class VorkelException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    public VorkelException(String message) {
        super(message);
    }
}
