#include "tasks/FileLoadTask.h"

#include "engine/DecryptManager.h"
#include "engine/LocalPath.h"

FileLoadTask::FileLoadTask(const QStringList& paths)
    : m_paths(paths)
{ }

FileLoadTask::FileLoadTask(const QList<QUrl>& urls)
    : m_urls(urls)
    , m_fromUrls(true)
{ }

qsizetype FileLoadTask::count() const
{
    return m_fromUrls ? m_urls.size() : m_paths.size();
}

QString FileLoadTask::path(qsizetype index) const
{
    if (index < 0 || index >= count()) {
        return {};
    }
    if (!m_fromUrls) {
        return m_paths.at(index);
    }
    const QUrl& url = m_urls.at(index);
    if (!url.isLocalFile() || !url.host().isEmpty()) {
        return url.toLocalFile();
    }
    // By the bytes the URL carries: toLocalFile() turns a name that is not UTF-8
    // ("caf%E9") into one that names nothing.
    return LocalPath::decode(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
}

bool FileLoadTask::equals(const Task* other) const
{
    const auto* load = dynamic_cast<const FileLoadTask*>(other);
    return load && load->m_paths == m_paths;
}

BackgroundTask::Report FileLoadTask::run(DecryptManager& decrypt, const FileLoading::CancelCheck& cancelled)
{
    QStringList inputs;
    inputs.reserve(count());
    for (qsizetype i = 0; i < count(); ++i) {
        inputs.append(path(i)); // a URL that names no local file gives "", which names nothing
    }
    // Folders give their envelopes only (a folder decrypted before holds the
    // plaintexts too); files named one by one are all tried.
    FileLoading::LoadOptions options;
    options.envelopesOnly = true;
    options.skipDecrypted = m_skipDecrypted;
    options.outputRoot = decrypt.outputRoot();
    if (m_found) {
        m_found->store(0, std::memory_order_relaxed);
    }
    options.found = m_found;
    const FileLoading::Result result = FileLoading::load(inputs, decrypt, cancelled, options);
    if (result.cancelled) {
        return {};
    }
    return { Channel::FilesLoaded, result.summary() };
}
