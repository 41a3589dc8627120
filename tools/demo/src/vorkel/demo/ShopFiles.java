package vorkel.demo;

import java.io.BufferedReader;
import java.io.File;
import java.io.FileOutputStream;
import java.io.FileReader;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.List;

/**
 * The shop's files: a catalogue that every checkout reads twice, for the prices through a
 * FileReader and for the stock through Files.newBufferedReader (a file channel), and an order log
 * that it appends to through a FileOutputStream. Inside a checkout transaction the agent counts
 * the streams and the channel (with the "filestreams" option). The directory is the
 * "vorkel.demo.dir" property, else a new temporary one.
 */
final class ShopFiles {
    static final int CATALOGUE_ITEMS = 500;

    private static File directory;
    private static int appended;

    private ShopFiles() {
    }

    static synchronized File directory() {
        if (directory == null) {
            try {
                String configured = System.getProperty("vorkel.demo.dir");
                File chosen = configured != null ? new File(configured)
                        : Files.createTempDirectory("vorkel-shop").toFile();
                if (!chosen.isDirectory() && !chosen.mkdirs()) {
                    throw new IOException("cannot create " + chosen);
                }
                directory = chosen;
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        }
        return directory;
    }

    static File catalogue() {
        return new File(directory(), "catalogue.txt");
    }

    static File orderLog() {
        return new File(directory(), "orders.log");
    }

    /** Writes the catalogue (before any transaction) and starts an empty order log. */
    static void prepare() {
        List<String> lines = new ArrayList<>();
        for (int i = 0; i < CATALOGUE_ITEMS; i++) {
            lines.add("item-" + i + ";" + (100 + i));
        }
        try {
            Files.write(catalogue().toPath(), lines, StandardCharsets.UTF_8);
            Files.deleteIfExists(orderLog().toPath());
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /**
     * One checkout's file work: the price of its items from the catalogue, that they are listed in
     * it, one line in the log.
     */
    static void checkout(int number, int items) {
        try {
            long totalCents = 0;
            try (BufferedReader reader = new BufferedReader(new FileReader(catalogue()))) {
                int line = 0;
                for (String text; (text = reader.readLine()) != null; line++) {
                    if (line % 97 < items) {
                        totalCents += Long.parseLong(text.substring(text.indexOf(';') + 1));
                    }
                }
            }
            int listed = 0;
            try (BufferedReader reader = Files.newBufferedReader(catalogue().toPath(), StandardCharsets.UTF_8)) {
                int line = 0;
                for (String text; (text = reader.readLine()) != null; line++) {
                    if (line % 97 < items && text.startsWith("item-")) {
                        listed++;
                    }
                }
            }
            if (listed < items) {
                throw new IllegalStateException("checkout " + number + ": only " + listed + " items listed");
            }
            try (FileOutputStream log = new FileOutputStream(orderLog(), true)) {
                log.write(("checkout " + number + ": " + items + " items, " + totalCents + " cents\n")
                        .getBytes(StandardCharsets.UTF_8));
            }
            synchronized (ShopFiles.class) {
                appended++;
            }
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    static synchronized String summary() {
        return "Shop files: each checkout read " + catalogue() + " (" + CATALOGUE_ITEMS + " items) and appended to "
                + orderLog() + " (" + appended + " lines)";
    }
}
