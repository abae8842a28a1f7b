// The command-line tokenizer: no overrun, and every token is a piece of the line.
#include <kv/kv.h>

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    char** tokens = nullptr;
    unsigned count = 12345;
    const int rc = kv_str_tokenize(line.c_str(), &tokens, &count);
    if (rc != 0) {
        if (rc != KV_ESEPARATOR || tokens || count != 0)
            abort();
        return 0;
    }
    if ((count == 0) != (tokens == nullptr) || count > KV_STR_MAX_TOKENS)
        abort();
    size_t total = 0;
    size_t from = 0;
    for (unsigned i = 0; i < count; ++i) {
        const size_t n = strlen(tokens[i]);
        // Tokens follow each other in one buffer, in the order of the line.
        if (i > 0 && tokens[i] != tokens[i - 1] + strlen(tokens[i - 1]) + 1)
            abort();
        const size_t at = line.find(tokens[i], from, n);
        if (at == std::string::npos)
            abort();
        from = at + n;
        total += n + 1;
    }
    if (total > line.size() + 1)
        abort();
    kv_str_tokcleanup(tokens);
    return 0;
}
