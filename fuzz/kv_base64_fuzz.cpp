// The three Base64 decoders: output within the buffer offered, and what they
// accept encodes back to text that decodes to the same bytes.
#include <kv/kv.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Decoder = int (*)(const char*, unsigned, void*, unsigned, int*);
using Encoder = int (*)(const void*, unsigned, char*, unsigned);

std::vector<unsigned char> roundTrip(const std::vector<unsigned char>& bytes, Encoder encode, Decoder decode)
{
    if (bytes.empty())
        return bytes;
    std::vector<char> text(4 * ((bytes.size() + 2) / 3) + 1);
    if (encode(bytes.data(), static_cast<unsigned>(bytes.size()), text.data(), static_cast<unsigned>(text.size())) != 0)
        abort();
    // The decoders ask for one byte more than 3 per started group of the text.
    std::vector<unsigned char> back((strlen(text.data()) + 3) / 4 * 3 + 1);
    int length = -1;
    if (decode(text.data(), static_cast<unsigned>(strlen(text.data())), back.data(), static_cast<unsigned>(back.size()),
            &length)
        != 0)
        abort();
    back.resize(static_cast<size_t>(length));
    return back;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // First byte: decoder and output size (exact, so any overrun is caught).
    const int which = data[0] % 3;
    const unsigned outSize = data[1];
    const char* text = reinterpret_cast<const char*>(data + 2);
    const unsigned length = static_cast<unsigned>(size - 2);

    static const Decoder decoders[] = { kv_str_base64_to_buf, kv_str_mime_base64_to_buf, kv_str_base64url_to_buf };
    static const Encoder encoders[] = { kv_str_buf_to_base64, kv_str_buf_to_base64, kv_str_buf_to_base64url };
    std::vector<unsigned char> out(outSize);
    int outLength = -1;
    const int rc = decoders[which](text, length, out.data(), outSize, &outLength);
    if (rc == 0) {
        if (outLength < 0 || static_cast<unsigned>(outLength) > outSize)
            abort();
        if (which == 0 && outLength > static_cast<int>(length / 4 * 3))
            abort();
        out.resize(static_cast<size_t>(outLength));
        if (roundTrip(out, encoders[which], decoders[which]) != out)
            abort();
    } else if (rc != EINVAL && rc != KV_ENOSPACE) {
        abort();
    } else if (which == 1 && rc == KV_ENOSPACE && outLength != static_cast<int>(outSize)) {
        abort(); // the tolerant decoder fills the buffer before it gives up
    }

    // The input as bytes round-trips through every codec.
    const std::vector<unsigned char> bytes(data, data + size);
    for (int k = 0; k < 3; ++k) {
        if (roundTrip(bytes, encoders[k], decoders[k]) != bytes)
            abort();
    }
    return 0;
}
