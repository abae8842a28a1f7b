// Hexadecimal: decoding stays in its buffer, and both directions round-trip.
#include <kv/kv.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // First byte: the output size offered, relative to what the text needs.
    const int slack = static_cast<int>(data[0] % 5) - 2;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const unsigned length = static_cast<unsigned>(size - 1);
    const long wanted = static_cast<long>(length / 2) + slack;
    const unsigned outSize = wanted < 0 ? 0 : static_cast<unsigned>(wanted);
    std::vector<unsigned char> out(outSize); // exact size: any overrun is caught
    int outLength = -1;
    const int rc = kv_str_base16_to_buf(text, length, out.data(), outSize, &outLength);
    if (outLength != static_cast<int>(length / 2))
        abort();
    if (rc == 0) {
        if (length % 2 != 0 || outSize < length / 2)
            abort();
        std::vector<char> again(length + 1);
        if (kv_str_buf_to_base16(out.data(), length / 2, again.data(), length + 1) != 0)
            abort();
        for (unsigned i = 0; i < length; ++i) {
            if (again[i] != toupper(static_cast<unsigned char>(text[i])))
                abort();
        }
    } else if (rc != EINVAL && rc != KV_ENOSPACE) {
        abort();
    }

    // The input as bytes: encode into an exact buffer and decode back.
    std::vector<char> hex(2 * size + 1);
    if (kv_str_buf_to_base16(data, static_cast<unsigned>(size), hex.data(), static_cast<unsigned>(hex.size()) - 1)
        != KV_ENOSPACE)
        abort();
    if (kv_str_buf_to_base16(data, static_cast<unsigned>(size), hex.data(), static_cast<unsigned>(hex.size())) != 0)
        abort();
    std::vector<unsigned char> back(size);
    if (kv_str_base16_to_buf(hex.data(), KV_STR_LENGTH_AUTO, back.data(), static_cast<unsigned>(size), &outLength) != 0
        || memcmp(back.data(), data, size) != 0)
        abort();
    return 0;
}
