#include "cli/StdoutDecrypt.h"

#include "engine/EncodedPassphrases.h"
#include "engine/LocalPath.h"
#include "engine/SafeFile.h"
#include "engine/zervcrypto.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Plaintext is gathered into writes of this size: a pipe takes it in few calls.
constexpr size_t kWriteSize = 64 * 1024;

void report(FILE* err, const QString& message)
{
    const QByteArray text = "korvelcrypt-cli: " + LocalPath::displayName(message).toUtf8() + "\n";
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), err);
    std::fflush(err);
}

} // namespace

int StdoutDecrypt::run(const QString& path, const QStringList& passphrases, int outFd, FILE* err)
{
    if (struct stat status {}; !LocalPath::status(path, &status)) {
        report(err, QStringLiteral("cannot access '%1': No such file or directory").arg(path));
        return 1;
    }
    zervcrypto_file_decrypt_t* state = zervcrypto_file_decrypt_init();
    if (!state) {
        report(err, QStringLiteral("%1: Could not initialize decrypter.").arg(path));
        return 1;
    }
    unsigned opened = ZERVCRYPTO_ESYSTEM;
    {
        const EncodedPassphrases candidates(passphrases);
        opened = zervcrypto_file_decrypt_open_any(
            state, candidates.data(), candidates.count(), LocalPath::encode(path).constData(), nullptr, nullptr);
    }
    if (opened != ZERVCRYPTO_OK) {
        // The worker's wording, so that the reasons read as in a batch.
        report(err,
            QStringLiteral("%1: %2").arg(path,
                opened == ZERVCRYPTO_ECORRUPT ? QStringLiteral("Input file is corrupted or not encrypted.")
                                              : QString::fromUtf8(state->error_text)));
        zervcrypto_file_decrypt_close(&state);
        return 1;
    }

    // A closed pipe is an error of write(), not a signal that ends the process
    // with the plaintext still in memory.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<uint8_t> buffer(kWriteSize);
    size_t filled = 0;
    int status = 0;
    int writeError = 0;
    for (;;) {
        uint32_t length = 0;
        const unsigned result = zervcrypto_file_decrypt_read(state, buffer.data() + filled, &length);
        if (result != ZERVCRYPTO_OK) {
            // What was decrypted before the failure goes out first, as a batch keeps it on disk.
            writeError = SafeFile::writeAll(outFd, buffer.data(), filled);
            if (writeError == 0) {
                report(err,
                    QStringLiteral("%1: %2 (the plaintext before this point was written)")
                        .arg(path, QString::fromUtf8(state->error_text)));
                status = 1;
            }
            filled = 0;
            break;
        }
        filled += length;
        if (length == 0 || filled + ZERVCRYPTO_PIECE_SIZE > buffer.size()) {
            writeError = SafeFile::writeAll(outFd, buffer.data(), filled);
            filled = 0;
        }
        if (length == 0 || writeError != 0)
            break;
    }
    OPENSSL_cleanse(buffer.data(), buffer.size());
    zervcrypto_file_decrypt_close(&state);
    if (writeError == EPIPE)
        return kPipeClosed;
    if (writeError != 0) {
        report(err,
            QStringLiteral("%1: cannot write to standard output: %2")
                .arg(path, QString::fromLocal8Bit(std::strerror(writeError))));
        return 1;
    }
    return status;
}
