package vorkel.plugins.annotated;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;
import java.lang.reflect.Method;
import java.util.ArrayList;
import java.util.List;
import java.util.function.Supplier;

/** A plugin of annotations on classes, fields, methods, parameters and types, enums and interfaces. */
@Plugin.Component(name = "annotated", priority = 3)
public final class Plugin implements Supplier<String> {
    @Retention(RetentionPolicy.RUNTIME)
    @Target(ElementType.TYPE)
    public @interface Component {
        String name();

        int priority() default 5;

        String[] aliases() default {"plugin", "component"};
    }

    @Retention(RetentionPolicy.RUNTIME)
    @Target({ElementType.FIELD, ElementType.METHOD})
    public @interface Config {
        String key();

        String fallback() default "";
    }

    @Retention(RetentionPolicy.RUNTIME)
    @Target(ElementType.PARAMETER)
    public @interface NotNull {
    }

    @Retention(RetentionPolicy.RUNTIME)
    @Target(ElementType.TYPE_USE)
    public @interface Checked {
    }

    public enum Level {
        LOW, MEDIUM, HIGH, CRITICAL;

        Level next() {
            return values()[Math.min(ordinal() + 1, values().length - 1)];
        }
    }

    public interface Service {
        String name();

        default String describe() {
            return "service " + name();
        }

        static Service of(String name) {
            return () -> name;
        }
    }

    public interface Audited extends Service {
        default String describe() {
            return "audited " + name();
        }
    }

    @Component(name = "cache")
    public static final class Cache implements Audited {
        @Config(key = "cache.size", fallback = "100")
        private int size = 100;
        @Config(key = "cache.name")
        private String label = "main";
        private final List<@Checked String> keys = new ArrayList<>();

        @Override
        public String name() {
            return label + ":" + size;
        }

        @Config(key = "cache.put")
        public void put(@NotNull String key, @NotNull @Checked String value) {
            keys.add(key + "=" + value);
        }

        public int count() {
            return keys.size();
        }
    }

    public class Inner {
        final Level level = Level.MEDIUM;

        Level escalate() {
            return level.next();
        }
    }

    @Config(key = "plugin.level")
    private Level level = Level.LOW;

    @Override
    public String get() {
        Cache cache = new Cache();
        for (int i = 0; i < 10; i++) {
            cache.put("k" + i, "v" + i);
        }
        int annotated = 0;
        for (Method method : Cache.class.getDeclaredMethods()) {
            annotated += method.getAnnotations().length + method.getParameterAnnotations().length;
        }
        Component component = Plugin.class.getAnnotation(Component.class);
        level = new Inner().escalate();
        return cache.describe() + " " + cache.count() + " " + annotated + " " + component.aliases().length + " " + level
                + " " + Service.of("x").describe();
    }
}
