#pragma once

#include "tasks/BackgroundTask.h"

#include <QList>
#include <QStringList>
#include <QUrl>

#include <atomic>

// Loads files and folders (paths, or URLs from a drop) into the decrypt
// manager's pending list; folders are searched recursively and give only the
// files that may be envelopes (FileLoading::mayBeEnvelope), as the command-line
// tool's folder walk does; files named one by one are all taken.
class FileLoadTask : public BackgroundTask {
    Q_OBJECT

public:
    explicit FileLoadTask(const QStringList& paths);
    explicit FileLoadTask(const QList<QUrl>& urls);

    // The index-th input as a local path: a URL's local file (empty when it is
    // not a local file) or the path unchanged; empty past the end.
    QString path(qsizetype index) const;
    qsizetype count() const;

    // Pass over envelopes whose plaintext already stands under its plain name,
    // below the decrypt manager's output folder or next to them.
    void setSkipDecrypted(bool skip) { m_skipDecrypted = skip; }

    // Where the load counts the files it finds, from 0 as it begins
    // (FileLoading::LoadOptions::found); none when null. It must outlive the run.
    void setFoundCounter(std::atomic<qint64>* counter) { m_found = counter; }

    // Same path list (URL lists are not compared).
    bool equals(const Task* other) const override;

    // The load (the task manager announces it when it starts the task). Answers
    // the summary line, or nothing when cancelled.
    Report run(DecryptManager& decrypt, const FileLoading::CancelCheck& cancelled) override;

private:
    QStringList m_paths;
    QList<QUrl> m_urls;
    bool m_fromUrls = false;
    bool m_skipDecrypted = false;
    std::atomic<qint64>* m_found = nullptr;
};
