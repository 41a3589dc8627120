package vorkel.runtime.agent.transactions;

/**
 * A small streaming JSON writer for the transaction reports: objects, arrays, strings, numbers,
 * booleans and null, written in order. A null string is written as null.
 */
public final class Json {
    private final StringBuilder out = new StringBuilder(1024);
    // One flag per open container: whether it already holds an element.
    private boolean[] filled = new boolean[16];
    private int depth;
    private boolean afterName;

    public Json beginObject() {
        open('{');
        return this;
    }

    public Json endObject() {
        return close('}');
    }

    public Json beginArray() {
        open('[');
        return this;
    }

    public Json endArray() {
        return close(']');
    }

    public Json name(String name) {
        separate();
        string(name);
        out.append(':');
        afterName = true;
        return this;
    }

    public Json field(String name, String value) {
        return name(name).value(value);
    }

    public Json field(String name, long value) {
        return name(name).value(value);
    }

    public Json field(String name, boolean value) {
        name(name);
        separate();
        out.append(value);
        return this;
    }

    public Json value(String value) {
        separate();
        if (value == null) {
            out.append("null");
        } else {
            string(value);
        }
        return this;
    }

    public Json value(long value) {
        separate();
        out.append(value);
        return this;
    }

    @Override
    public String toString() {
        return out.toString();
    }

    private void open(char bracket) {
        separate();
        out.append(bracket);
        if (depth == filled.length) {
            filled = java.util.Arrays.copyOf(filled, depth * 2);
        }
        filled[depth++] = false;
    }

    private Json close(char bracket) {
        if (depth > 0) {
            depth--;
        }
        out.append(bracket);
        return this;
    }

    private void separate() {
        if (afterName) {
            afterName = false;
            return;
        }
        if (depth > 0) {
            if (filled[depth - 1]) {
                out.append(',');
            }
            filled[depth - 1] = true;
        }
    }

    private void string(String text) {
        out.append('"');
        for (int i = 0; i < text.length(); i++) {
            char c = text.charAt(i);
            switch (c) {
                case '"':
                    out.append("\\\"");
                    break;
                case '\\':
                    out.append("\\\\");
                    break;
                case '\n':
                    out.append("\\n");
                    break;
                case '\r':
                    out.append("\\r");
                    break;
                case '\t':
                    out.append("\\t");
                    break;
                default:
                    if (c < 0x20 || c == 0x2028 || c == 0x2029) {
                        out.append(String.format("\\u%04x", (int) c));
                    } else {
                        out.append(c);
                    }
            }
        }
        out.append('"');
    }
}
