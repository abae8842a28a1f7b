// What the smoke test needs besides xdotool: envelopes to decrypt, one large
// envelope that takes a few seconds, a screenshot of one window, and the close
// request a window manager sends.
//
//   smoke_helper envelopes <folder> <expected-folder> <count> <passphrase>
//   smoke_helper large <file> <MiB> <passphrase>
//   smoke_helper shot <window-id> <file.png>
//   smoke_helper close <window-id>
#include "tests/support/EnvelopeWriter.h"

#include <QImage>
#include <QString>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int writeEnvelopes(
    const std::string& folder, const std::string& expectedFolder, int count, const std::string& passphrase)
{
    korvel::test::EnvelopeOptions options;
    options.passphrases = { passphrase };
    for (int i = 0; i < count; ++i) {
        const std::string text = "smoke file " + std::to_string(i) + "\n";
        const std::string name = "/file" + std::to_string(i) + ".txt";
        const std::string base = folder + name;
        options.seed = uint64_t(i) + 1;
        if (!korvel::test::writeEnvelope(
                base + ".korvel-env", korvel::test::Bytes(text.begin(), text.end()), options)) {
            std::fprintf(stderr, "cannot write %s.korvel-env\n", base.c_str());
            return 1;
        }
        // What the decrypted file must hold, for the script to compare with.
        // (kept apart: every file in the envelope folder gets loaded)
        if (FILE* expected = std::fopen((expectedFolder + name).c_str(), "wb")) {
            std::fwrite(text.data(), 1, text.size(), expected);
            std::fclose(expected);
        } else {
            return 1;
        }
    }
    return 0;
}

// An envelope of mebibytes MiB of a repeating pattern: large enough that the
// window is caught decrypting it.
int writeLarge(const std::string& file, uint64_t mebibytes, const std::string& passphrase)
{
    korvel::test::EnvelopeOptions options;
    options.passphrases = { passphrase };
    const korvel::test::Bytes pattern = korvel::test::patternBytes(1 << 20, 11);
    const bool written = korvel::test::writeEnvelopeStreaming(
        file, mebibytes << 20,
        [&pattern](uint64_t offset, uint8_t* buffer, size_t length) {
            for (size_t done = 0; done < length;) {
                const size_t at = size_t((offset + done) % pattern.size());
                const size_t piece = std::min(length - done, pattern.size() - at);
                std::memcpy(buffer + done, pattern.data() + at, piece);
                done += piece;
            }
        },
        options);
    if (!written) {
        std::fprintf(stderr, "cannot write %s\n", file.c_str());
        return 1;
    }
    return 0;
}

int screenshot(Display* display, Window window, const char* file)
{
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes)) {
        return 1;
    }
    XImage* image = XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (!image) {
        return 1;
    }
    QImage out(attributes.width, attributes.height, QImage::Format_RGB32);
    for (int y = 0; y < attributes.height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < attributes.width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            line[x] = qRgb(int((pixel & image->red_mask) >> 16), int((pixel & image->green_mask) >> 8),
                int(pixel & image->blue_mask));
        }
    }
    XDestroyImage(image);
    return out.save(QString::fromLocal8Bit(file), "PNG") ? 0 : 1;
}

int requestClose(Display* display, Window window)
{
    XEvent event;
    std::memset(&event, 0, sizeof(event));
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    if (!XSendEvent(display, window, False, NoEventMask, &event)) {
        return 1;
    }
    XFlush(display);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 6 && std::strcmp(argv[1], "envelopes") == 0) {
        return writeEnvelopes(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
    }
    if (argc == 5 && std::strcmp(argv[1], "large") == 0) {
        return writeLarge(argv[2], std::strtoull(argv[3], nullptr, 10), argv[4]);
    }
    if ((argc == 4 && std::strcmp(argv[1], "shot") == 0) || (argc == 3 && std::strcmp(argv[1], "close") == 0)) {
        Display* display = XOpenDisplay(nullptr);
        if (!display) {
            std::fprintf(stderr, "cannot open display\n");
            return 1;
        }
        const Window window = Window(std::strtoul(argv[2], nullptr, 0));
        const int result = argc == 4 ? screenshot(display, window, argv[3]) : requestClose(display, window);
        XCloseDisplay(display);
        return result;
    }
    std::fprintf(stderr,
        "usage: %s envelopes DIR EXPECTED-DIR N PASS | large FILE MIB PASS | shot WID FILE | close WID\n", argv[0]);
    return 2;
}
