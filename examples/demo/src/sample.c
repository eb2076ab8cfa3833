/* The sample application of the demo: a small console program whose
   versions differ in their code, their texts and their version resource. */
#include <stdio.h>
#include <string.h>

static const char* greeting(void) {
#if SAMPLE_MAJOR >= 3
    return "Sample 3: now with a summary of your notes.";
#elif SAMPLE_MAJOR == 2
    return "Sample 2: faster start-up.";
#else
    return "Sample 1.";
#endif
}

static int count_words(const char* text) {
    int words = 0, inside = 0;
    for (; *text; ++text) {
        int letter = *text != ' ' && *text != '\n' && *text != '\t';
        if (letter && !inside) ++words;
        inside = letter;
    }
    return words;
}

#if SAMPLE_MAJOR >= 3
static void summarise(const char* text) {
    printf("%d words, %u characters\n", count_words(text), (unsigned)strlen(text));
}
#endif

int main(int argc, char** argv) {
    puts(greeting());
    for (int i = 1; i < argc; ++i) {
#if SAMPLE_MAJOR >= 3
        summarise(argv[i]);
#else
        printf("%d words\n", count_words(argv[i]));
#endif
    }
    return 0;
}
