package vorkel.plugins.lambdas;

import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.function.BiFunction;
import java.util.function.Function;
import java.util.function.IntBinaryOperator;
import java.util.function.Predicate;
import java.util.function.Supplier;
import java.util.stream.Collectors;
import java.util.stream.IntStream;

/** A plugin of lambdas and method references: each one a hidden class of this plugin's loader. */
public final class Plugin implements Supplier<String> {
    interface Step {
        int apply(int value);

        default Step then(Step next) {
            return value -> next.apply(apply(value));
        }
    }

    private final List<Function<Integer, Integer>> functions = new ArrayList<>();
    private final Map<String, IntBinaryOperator> operators = new TreeMap<>();

    public Plugin() {
        functions.add(x -> x + 1);
        functions.add(x -> x * 2);
        functions.add(x -> x - 3);
        functions.add(x -> x * x);
        functions.add(x -> x / 2);
        functions.add(Math::abs);
        functions.add(Integer::reverse);
        functions.add(x -> Integer.bitCount(x));
        operators.put("add", (a, b) -> a + b);
        operators.put("sub", (a, b) -> a - b);
        operators.put("mul", (a, b) -> a * b);
        operators.put("max", Math::max);
        operators.put("min", Math::min);
        operators.put("xor", (a, b) -> a ^ b);
    }

    @Override
    public String get() {
        Step chain = ((Step) v -> v + 1).then(v -> v * 3).then(v -> v - 7).then(v -> v % 1000);
        Predicate<String> longWord = s -> s.length() > 4;
        BiFunction<String, Integer, String> repeat = String::repeat;
        String words = IntStream.range(0, 50)
                .mapToObj(i -> "w" + chain.apply(i))
                .filter(longWord.negate())
                .map(s -> repeat.apply(s, 2))
                .collect(Collectors.joining(","));
        int total = 0;
        for (Function<Integer, Integer> function : functions) {
            total += function.apply(total + 5);
        }
        for (IntBinaryOperator operator : operators.values()) {
            total = operator.applyAsInt(total, 7);
        }
        Supplier<Runnable> nested = () -> () -> { };
        nested.get().run();
        return total + " " + words.length();
    }
}
