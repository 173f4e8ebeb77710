/* SPDX-License-Identifier: MIT */
/* Writes the Java binding's two tables from the library's own, so that no
 * cipher or result code is typed twice: DIR/Cipher.java (an enum of
 * sealkit_cipher_at's records) and DIR/SealkitException.java (the exception,
 * with a subclass per sealkit_result_at error).
 *   gen_java DIR */
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "sealkit.h"

/* "SEALKIT_CIPHER_AES_CBC" -> "AES_CBC" */
static const char *after(const char *constant, const char *prefix) {
    return strncmp(constant, prefix, strlen(prefix)) == 0 ? constant + strlen(prefix) : constant;
}

/* "key_length" -> "KeyLength" */
static void camel(FILE *f, const char *name) {
    for (int up = 1; *name != '\0'; ++name) {
        if (*name == '_') {
            up = 1;
            continue;
        }
        fputc(up ? toupper((unsigned char)*name) : *name, f);
        up = 0;
    }
}

/* DIR/FILE, opened for writing and begun with the header every generated
 * file has, naming the library's table it comes from. */
static FILE *open_in(const char *dir, const char *file, const char *table) {
    char path[4096];
    if (snprintf(path, sizeof path, "%s/%s", dir, file) >= (int)sizeof path) return NULL;
    FILE *f = fopen(path, "w");
    if (f == NULL) {
        perror(path);
        return NULL;
    }
    fprintf(f,
            "// SPDX-License-Identifier: MIT\n// Written by java/gen_java.c from the library's %s "
            "table.\npackage org.sealkit;\n\n",
            table);
    return f;
}

static int ciphers(const char *dir) {
    FILE *f = open_in(dir, "Cipher.java", "cipher");
    if (f == NULL) return 1;
    fputs(
        "/** The library's ciphers (sealkit_cipher_at), by their C names. */\n"
        "public enum Cipher {\n",
        f);
    const sealkit_cipher_info *c;
    for (uint32_t i = 0; (c = sealkit_cipher_at(i)) != NULL; ++i)
        fprintf(f, "    /** %s */\n    %s(%u, \"%s\", %u, %u, %u),\n", c->summary,
                after(c->constant, "SEALKIT_CIPHER_"), (unsigned)c->id, c->name, c->block,
                c->min_key_len, c->keygen_len);
    fputs(
        "    ;\n\n"
        "    /** The value the C library takes. */\n    public final int id;\n"
        "    /** What the command and the other bindings call it. */\n    public final String "
        "name;\n"
        "    /** Its block size in bytes. */\n    public final int block;\n"
        "    /** The shortest key it takes; 0 for the built-in key, which takes none. */\n"
        "    public final int minKeyLength;\n"
        "    /** The length a new key should have. */\n    public final int keyLength;\n\n"
        "    Cipher(int id, String name, int block, int minKeyLength, int keyLength) {\n"
        "        this.id = id;\n        this.name = name;\n        this.block = block;\n"
        "        this.minKeyLength = minKeyLength;\n        this.keyLength = keyLength;\n    }\n\n"
        "    /** Whether it takes a key. */\n"
        "    public boolean keyed() {\n        return minKeyLength > 0;\n    }\n\n"
        "    /** The cipher the command and the other bindings call {@code name}. */\n"
        "    public static Cipher byName(String name) {\n"
        "        for (Cipher c : values())\n            if (c.name.equals(name)) return c;\n"
        "        throw new IllegalArgumentException(\"unknown cipher '\" + name + \"'\");\n    "
        "}\n}\n",
        f);
    return fclose(f) != 0;
}

static int results(const char *dir) {
    FILE *f = open_in(dir, "SealkitException.java", "result");
    if (f == NULL) return 1;
    fputs(
        "import java.io.IOException;\n\n"
        "/** A call the library refused: {@link #result} is its result code, the\n"
        " * message its text. Each code has a subclass, to catch one kind. */\n"
        "public class SealkitException extends IOException {\n"
        "    private static final long serialVersionUID = 1L;\n\n"
        "    /** The library's result code (a SEALKIT_ERR_* value). */\n    public final int "
        "result;\n\n"
        "    SealkitException(int result, String message) {\n"
        "        super(message);\n        this.result = result;\n    }\n\n"
        "    /** The exception for a result code, with the library's text for it. */\n"
        "    static SealkitException of(int result) {\n        return switch (result) {\n",
        f);
    const sealkit_result_info *r;
    for (uint32_t i = 0; (r = sealkit_result_at(i)) != NULL; ++i) {
        if (r->code == SEALKIT_OK) continue;
        fprintf(f, "            case %d -> new ", r->code);
        camel(f, r->name);
        fputs("();\n", f);
    }
    fputs(
        "            default -> new SealkitException(result, \"internal error: the library "
        "returned result \"\n"
        "                + result + \", which it does not list\");\n        };\n    }\n",
        f);
    for (uint32_t i = 0; (r = sealkit_result_at(i)) != NULL; ++i) {
        if (r->code == SEALKIT_OK) continue;
        fprintf(f, "\n    /** %s: %s */\n    public static final class ", r->constant, r->text);
        camel(f, r->name);
        fputs(
            " extends SealkitException {\n        private static final long serialVersionUID = "
            "1L;\n\n        ",
            f);
        camel(f, r->name);
        fprintf(f, "() {\n            super(%d, \"%s\");\n        }\n    }\n", r->code, r->text);
    }
    fputs("}\n", f);
    return fclose(f) != 0;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: gen_java DIR\n", stderr);
        return 2;
    }
    return ciphers(argv[1]) || results(argv[1]);
}
