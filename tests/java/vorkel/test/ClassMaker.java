package vorkel.test;

import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * Class files made at run time, for loaders that define many classes: class NAME implements
 * java.util.function.IntSupplier with int fields, a String constant, a constructor that sets the
 * fields, getAsInt() over all of them, methods m0..m(k-1) and toString(). Straight-line code of class
 * file version 52, so no stack map frames are needed.
 */
final class ClassMaker {
    private final ByteArrayOutputStream pool = new ByteArrayOutputStream();
    private final DataOutputStream poolOut = new DataOutputStream(pool);
    private final Map<String, Integer> entries = new HashMap<>();
    private int count = 1;

    private ClassMaker() {
    }

    /** The bytes of class name (internal form, "gen/G17") with the given numbers of fields and methods. */
    static byte[] make(String name, int fields, int methods) {
        try {
            return new ClassMaker().build(name, Math.max(1, fields), methods);
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
    }

    private int entry(String key, int tag, Writer body) throws IOException {
        Integer known = entries.get(key);
        if (known != null) {
            return known;
        }
        poolOut.writeByte(tag);
        body.write(poolOut);
        entries.put(key, count);
        return count++;
    }

    private interface Writer {
        void write(DataOutputStream out) throws IOException;
    }

    private int utf8(String text) throws IOException {
        return entry("U" + text, 1, out -> out.writeUTF(text));
    }

    private int classRef(String name) throws IOException {
        int utf = utf8(name);
        return entry("C" + name, 7, out -> out.writeShort(utf));
    }

    private int string(String text) throws IOException {
        int utf = utf8(text);
        return entry("S" + text, 8, out -> out.writeShort(utf));
    }

    private int nameAndType(String name, String type) throws IOException {
        int n = utf8(name);
        int t = utf8(type);
        return entry("N" + name + ":" + type, 12, out -> {
            out.writeShort(n);
            out.writeShort(t);
        });
    }

    private int member(int tag, String owner, String name, String type) throws IOException {
        int c = classRef(owner);
        int nt = nameAndType(name, type);
        return entry(tag + owner + "." + name + ":" + type, tag, out -> {
            out.writeShort(c);
            out.writeShort(nt);
        });
    }

    private static void code(DataOutputStream out, int nameIndex, int maxStack, int maxLocals, byte[] code)
            throws IOException {
        out.writeShort(nameIndex);
        out.writeInt(12 + code.length);
        out.writeShort(maxStack);
        out.writeShort(maxLocals);
        out.writeInt(code.length);
        out.write(code);
        out.writeShort(0);  // exception table
        out.writeShort(0);  // attributes
    }

    private byte[] build(String name, int fields, int methods) throws IOException {
        int self = classRef(name);
        int object = classRef("java/lang/Object");
        int supplier = classRef("java/util/function/IntSupplier");
        int codeName = utf8("Code");
        int constantValue = utf8("ConstantValue");
        int objectInit = member(10, "java/lang/Object", "<init>", "()V");
        int[] fieldRefs = new int[fields];
        for (int i = 0; i < fields; i++) {
            fieldRefs[i] = member(9, name, "f" + i, "I");
        }
        int label = string(name.replace('/', '.') + " made at run time");
        int labelField = utf8("LABEL");
        int stringType = utf8("Ljava/lang/String;");

        ByteArrayOutputStream body = new ByteArrayOutputStream();
        DataOutputStream out = new DataOutputStream(body);
        out.writeShort(0x21);  // public super
        out.writeShort(self);
        out.writeShort(object);
        out.writeShort(1);
        out.writeShort(supplier);

        out.writeShort(fields + 1);
        for (int i = 0; i < fields; i++) {
            out.writeShort(0x02);  // private
            out.writeShort(utf8("f" + i));
            out.writeShort(utf8("I"));
            out.writeShort(0);
        }
        out.writeShort(0x19);  // public static final
        out.writeShort(labelField);
        out.writeShort(stringType);
        out.writeShort(1);
        out.writeShort(constantValue);
        out.writeInt(2);
        out.writeShort(label);

        List<byte[]> codes = new ArrayList<>();
        List<int[]> heads = new ArrayList<>();  // name, descriptor, max stack, max locals

        ByteArrayOutputStream init = new ByteArrayOutputStream();
        init.write(new byte[] {0x2a, (byte) 0xb7, (byte) (objectInit >> 8), (byte) objectInit});
        for (int i = 0; i < fields; i++) {
            init.write(new byte[] {0x2a, 0x10, (byte) (i * 7 + 1), (byte) 0xb5, (byte) (fieldRefs[i] >> 8),
                (byte) fieldRefs[i]});
        }
        init.write(0xb1);
        codes.add(init.toByteArray());
        heads.add(new int[] {utf8("<init>"), utf8("()V"), 2, 1});

        ByteArrayOutputStream sum = new ByteArrayOutputStream();
        sum.write(0x03);  // iconst_0
        for (int i = 0; i < fields; i++) {
            sum.write(new byte[] {0x2a, (byte) 0xb4, (byte) (fieldRefs[i] >> 8), (byte) fieldRefs[i], 0x60});
        }
        sum.write(0xac);
        codes.add(sum.toByteArray());
        heads.add(new int[] {utf8("getAsInt"), utf8("()I"), 3, 1});

        for (int m = 0; m < methods; m++) {
            int field = fieldRefs[m % fields];
            codes.add(new byte[] {0x1b, 0x10, (byte) (m + 2), 0x68, 0x2a, (byte) 0xb4, (byte) (field >> 8),
                (byte) field, 0x60, (byte) 0xac});
            heads.add(new int[] {utf8("m" + m), utf8("(I)I"), 3, 2});
        }

        codes.add(new byte[] {0x13, (byte) (label >> 8), (byte) label, (byte) 0xb0});
        heads.add(new int[] {utf8("toString"), utf8("()Ljava/lang/String;"), 1, 1});

        out.writeShort(codes.size());
        for (int i = 0; i < codes.size(); i++) {
            int[] head = heads.get(i);
            out.writeShort(0x01);  // public
            out.writeShort(head[0]);
            out.writeShort(head[1]);
            out.writeShort(1);
            code(out, codeName, head[2], head[3], codes.get(i));
        }
        out.writeShort(0);  // class attributes
        out.flush();

        ByteArrayOutputStream file = new ByteArrayOutputStream();
        DataOutputStream head = new DataOutputStream(file);
        head.writeInt(0xCAFEBABE);
        head.writeShort(0);
        head.writeShort(52);
        head.writeShort(count);
        poolOut.flush();
        head.write(pool.toByteArray());
        head.write(body.toByteArray());
        head.flush();
        return file.toByteArray();
    }
}
