package vorkel.test;

/** Loaded by class loaders of the tests themselves (never by the application loader in those tests). */
public final class CustomLoaded {
    private CustomLoaded() {
    }

    public static int value() {
        return 4711;
    }

    /** A second class of the same loader. */
    public static final class Second {
        private Second() {
        }
    }
}
