package vorkel.plugins.records;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.function.Supplier;

/** A plugin of records: sealed hierarchies of records with annotated components, built and sorted. */
public final class Plugin implements Supplier<String> {
    @Retention(RetentionPolicy.RUNTIME)
    @Target({ElementType.RECORD_COMPONENT, ElementType.FIELD, ElementType.METHOD, ElementType.PARAMETER})
    public @interface Unit {
        String value();
    }

    public sealed interface Shape permits Circle, Square, Rectangle, Triangle {
        double area();
    }

    public record Circle(@Unit("m") double radius) implements Shape {
        public double area() {
            return Math.PI * radius * radius;
        }
    }

    public record Square(@Unit("m") double side) implements Shape {
        public double area() {
            return side * side;
        }
    }

    public record Rectangle(@Unit("m") double width, @Unit("m") double height) implements Shape {
        public Rectangle {
            if (width < 0 || height < 0) {
                throw new IllegalArgumentException("negative side");
            }
        }

        public double area() {
            return width * height;
        }
    }

    public record Triangle(double a, double b, double c) implements Shape {
        public double area() {
            double s = (a + b + c) / 2;
            return Math.sqrt(s * (s - a) * (s - b) * (s - c));
        }
    }

    public record Named<T>(String name, T value, List<String> tags) {
    }

    public record Point(int x, int y) implements Comparable<Point> {
        public int compareTo(Point other) {
            return Integer.compare(x * x + y * y, other.x * other.x + other.y * other.y);
        }
    }

    public record Line(Point from, Point to) {
    }

    public record Empty() {
    }

    @Override
    public String get() {
        List<Shape> shapes = new ArrayList<>();
        for (int i = 1; i <= 20; i++) {
            shapes.add(new Circle(i));
            shapes.add(new Square(i));
            shapes.add(new Rectangle(i, i + 1));
            shapes.add(new Triangle(3 * i, 4 * i, 5 * i));
        }
        shapes.sort(Comparator.comparingDouble(Shape::area));
        List<Named<Shape>> named = new ArrayList<>();
        for (Shape shape : shapes) {
            named.add(new Named<>(shape.getClass().getSimpleName(), shape, List.of("shape")));
        }
        Line line = new Line(new Point(1, 2), new Point(3, 4));
        return named.size() + " shapes, " + line + ", " + new Empty();
    }
}
