// Directories: listing, recursive creation and deletion, depth-first walk.
#include "kv/kv_dir.h"
#include "kv/kv_file.h"
#include "kv/kv_path.h"
#include "runtime/src/kv_internal.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv::internal;

namespace {

// Identity of an open folder, to recognise a folder met again below itself.
struct FolderId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FolderId&) const = default;
};

// Reads the first entry of an open stream into dir; closes the stream on failure.
int startListing(DIR* stream, kv_dir_t* dir)
{
    errno = 0;
    const dirent* entry = readdir(stream);
    if (!entry && errno != 0) {
        const int err = lastError();
        closedir(stream);
        return err;
    }
    dir->handle = stream;
    dir->pending = 1;
    dir->entry = entry;
    return 0;
}

// Opens a listing of path without following a link in its last component, and
// reports the folder's identity.
int openListingNoFollow(const char* path, kv_dir_t* dir, FolderId* id)
{
    kv_dir_init(dir);
    const int fd = openCloexec(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0)
        return lastError();
    struct stat sb;
    if (fstat(fd, &sb) != 0) {
        const int err = lastError();
        closeFd(fd);
        return err;
    }
    id->dev = sb.st_dev;
    id->ino = sb.st_ino;
    DIR* stream = fdopendir(fd);
    if (!stream) {
        const int err = lastError();
        closeFd(fd);
        return err;
    }
    return startListing(stream, dir);
}

bool isDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

int callBack(kv_dir_create_callback_t callback, const char* path, int created, void* arg)
{
    return callback ? callback(path, created, arg) : 0;
}

// An existing path: a folder (or a link to one) calls back with 0.
int existingFolder(const char* path, const kv_stat_t& st, kv_dir_create_callback_t callback, void* arg)
{
    if (st.type == KV_FTYPE_DIR)
        return callBack(callback, path, 0, arg);
    if (st.type == KV_FTYPE_LNK) {
        kv_stat_t target;
        if (kv_file_stat(path, &target, 0) == 0 && target.type == KV_FTYPE_DIR)
            return callBack(callback, path, 0, arg);
    }
    return KV_ERR_DIRECTORY;
}

int createLeadingParts(const char* path, int mode, kv_dir_create_callback_t callback, void* arg)
{
    for (const char* sep = kv_path_next_dirsep(path); sep;) {
        const size_t length = static_cast<size_t>(sep - path);
        if (length >= KV_PATH_MAX)
            return KV_ERR_INSUFFICIENT_BUFFER;
        char part[KV_PATH_MAX];
        memcpy(part, path, length);
        part[length] = '\0';
        if (const int rc = kv_dir_create_callback(part, mode, 0, callback, arg))
            return rc;
        // Only the first separator may pass over a drive root or a UNC server.
        const char* p = sep;
        while (*p == '/')
            ++p;
        sep = strchr(p, '/');
    }
    return 0;
}

// A folder on the current line of a recursive delete.
struct DeleteFrame {
    FolderId id;
    const DeleteFrame* above;
};

bool seenAbove(const DeleteFrame* frame, const FolderId& id)
{
    for (; frame; frame = frame->above)
        if (frame->id == id)
            return true;
    return false;
}

// Deletes what path holds, never following a link; path itself stays.
int deleteContents(const char* path, const DeleteFrame* above)
{
    kv_dir_t dir;
    DeleteFrame frame { {}, above };
    int rc = openListingNoFollow(path, &dir, &frame.id);
    if (rc != 0)
        return rc;
    if (seenAbove(above, frame.id)) {
        kv_dir_close(&dir);
        return ELOOP;
    }
    for (;;) {
        char name[KV_PATH_MAX];
        rc = kv_dir_next(&dir, name);
        if (rc != 0)
            break;
        if (isDotOrDotDot(name))
            continue;
        char child[KV_PATH_MAX];
        rc = kv_file_append_path(path, name, child, sizeof child);
        kv_stat_t st;
        if (rc == 0)
            rc = kv_file_stat(child, &st, KV_STAT_NOFOLLOW);
        if (rc == 0 && st.type == KV_FTYPE_DIR) {
            rc = deleteContents(child, &frame);
            if (rc == 0 && rmdir(child) != 0)
                rc = lastError();
        } else if (rc == 0) {
            rc = kv_file_delete(child);
        }
        if (rc != 0)
            break;
    }
    kv_dir_close(&dir);
    return rc == KV_EEND ? 0 : rc;
}

} // namespace

// One folder of a walk: its listing and path, and the folder above it.
struct WalkNode {
    kv_dir_t dir;
    char path[KV_PATH_MAX];
    FolderId id;
    WalkNode* below;
};

struct kv_dir_walk_t {
    WalkNode* top;
    int singleFile;
};

namespace {

int copyOut(const char* text, char* out, size_t size)
{
    const size_t length = strlen(text);
    if (length >= size) {
        out[0] = '\0';
        return KV_ENOSPACE;
    }
    memcpy(out, text, length + 1);
    return 0;
}

// A node for path, listing opened when it is a folder.
int newNode(const char* path, bool folder, WalkNode** node)
{
    *node = nullptr;
    if (strlen(path) >= KV_PATH_MAX)
        return KV_ENOSPACE;
    auto* created = new (std::nothrow) WalkNode {};
    if (!created)
        return KV_ERR_NOT_ENOUGH_MEMORY;
    kv_dir_init(&created->dir);
    memcpy(created->path, path, strlen(path) + 1);
    if (folder) {
        if (const int rc = openListingNoFollow(path, &created->dir, &created->id)) {
            delete created;
            return rc;
        }
    }
    *node = created;
    return 0;
}

int pushFolder(kv_dir_walk_t* walk, const char* path)
{
    WalkNode* node;
    if (const int rc = newNode(path, true, &node))
        return rc;
    for (const WalkNode* above = walk->top; above; above = above->below) {
        if (above->id == node->id) {
            kv_dir_close(&node->dir);
            delete node;
            return ELOOP;
        }
    }
    node->below = walk->top;
    walk->top = node;
    return 0;
}

} // namespace

extern "C" {

// ------------------------------------------------------------------ listing

int kv_dir_init(kv_dir_t* dir)
{
    if (!dir)
        return EINVAL;
    dir->handle = nullptr;
    dir->pending = 0;
    dir->entry = nullptr;
    return 0;
}

int kv_dir_valid(const kv_dir_t* dir)
{
    return dir && dir->handle != nullptr;
}

int kv_dir_open(const char* path, kv_dir_t* dir)
{
    if (!path || !dir)
        return EINVAL;
    kv_dir_init(dir);
    if (strlen(path) + 2 >= KV_PATH_MAX)
        return KV_ERR_INSUFFICIENT_BUFFER;
    DIR* stream = opendir(path);
    if (!stream)
        return lastError();
    return startListing(stream, dir);
}

int kv_dir_next(kv_dir_t* dir, char out[KV_PATH_MAX])
{
    if (!kv_dir_valid(dir) || !out)
        return EINVAL;
    const dirent* entry;
    if (dir->pending) {
        dir->pending = 0;
        entry = static_cast<const dirent*>(dir->entry);
        dir->entry = nullptr;
    } else {
        errno = 0;
        entry = readdir(static_cast<DIR*>(dir->handle));
        if (!entry && errno != 0)
            return lastError();
    }
    if (!entry)
        return KV_EEND;
    return copyOut(entry->d_name, out, KV_PATH_MAX);
}

int kv_dir_close(kv_dir_t* dir)
{
    if (!dir)
        return EINVAL;
    int rc = 0;
    if (dir->handle && closedir(static_cast<DIR*>(dir->handle)) != 0)
        rc = lastError();
    kv_dir_init(dir);
    return rc;
}

// ------------------------------------------------------------------ create, delete

int kv_dir_create(const char* path, int mode, int recursive)
{
    return kv_dir_create_callback(path, mode, recursive, nullptr, nullptr);
}

int kv_dir_create_callback(const char* path, int mode, int recursive, kv_dir_create_callback_t callback, void* arg)
{
    if (!path || !*path)
        return EINVAL;
    kv_stat_t st;
    int rc = kv_file_stat(path, &st, KV_STAT_NOFOLLOW);
    if (rc == 0)
        return existingFolder(path, st, callback, arg);
    if (rc != KV_ERR_FILE_NOT_FOUND && rc != KV_ERR_PATH_NOT_FOUND)
        return rc;
    if (recursive && (rc = createLeadingParts(path, mode, callback, arg)) != 0)
        return rc;
    if (mkdir(path, static_cast<mode_t>(mode)) == 0)
        return callBack(callback, path, 1, arg);
    const int err = lastError();
    // Someone else made it meanwhile.
    if (err == EEXIST && kv_file_stat(path, &st, KV_STAT_NOFOLLOW) == 0)
        return existingFolder(path, st, callback, arg);
    return err;
}

int kv_dir_delete(const char* path, int recursive)
{
    if (!path)
        return EINVAL;
    if (recursive) {
        kv_stat_t st;
        if (const int rc = kv_file_stat(path, &st, KV_STAT_NOFOLLOW))
            return rc;
        if (st.type == KV_FTYPE_LNK)
            return kv_file_delete(path);
        if (const int rc = deleteContents(path, nullptr))
            return rc;
    }
    return rmdir(path) == 0 ? 0 : lastError();
}

// ------------------------------------------------------------------ walk

int kv_dir_walk_init(kv_dir_walk_t** walk, const char* path)
{
    if (!walk)
        return EINVAL;
    *walk = nullptr;
    if (!path)
        return EINVAL;
    auto* created = new (std::nothrow) kv_dir_walk_t { nullptr, 0 };
    if (!created)
        return KV_ERR_NOT_ENOUGH_MEMORY;
    kv_stat_t st;
    int rc = strlen(path) >= KV_PATH_MAX ? KV_ENOSPACE : kv_file_stat(path, &st, KV_STAT_NOFOLLOW);
    if (rc == 0) {
        if (st.type == KV_FTYPE_REG) {
            created->singleFile = 1;
            rc = newNode(path, false, &created->top);
        } else if (st.type == KV_FTYPE_DIR) {
            rc = pushFolder(created, path);
        } else {
            rc = KV_ERR_DIRECTORY;
        }
    }
    if (rc != 0) {
        kv_dir_walk_release(&created);
        return rc;
    }
    *walk = created;
    return 0;
}

int kv_dir_walk_iterate(kv_dir_walk_t* walk, char* out, size_t size, int* kind)
{
    if (!walk || !out || size == 0 || !kind)
        return EINVAL;
    WalkNode* top = walk->top;
    if (!top)
        return KV_EEND;
    if (walk->singleFile) {
        const int rc = copyOut(top->path, out, size);
        *kind = KV_WALK_FILE;
        kv_dir_walk_pop(walk);
        return rc;
    }
    for (;;) {
        char name[KV_PATH_MAX];
        int rc = kv_dir_next(&top->dir, name);
        if (rc == KV_EEND) {
            rc = copyOut("..", out, size);
            kv_dir_walk_pop(walk);
            *kind = KV_WALK_END;
            return rc;
        }
        if (rc != 0)
            return rc;
        if (isDotOrDotDot(name))
            continue;
        if ((rc = kv_file_append_path(top->path, name, out, size)) != 0)
            return rc;
        kv_stat_t st;
        if ((rc = kv_file_stat(out, &st, KV_STAT_NOFOLLOW)) != 0)
            return rc;
        switch (st.type) {
        case KV_FTYPE_DIR:
            *kind = KV_WALK_DIR;
            return pushFolder(walk, out);
        case KV_FTYPE_REG:
            *kind = KV_WALK_FILE;
            return 0;
        default:
            *kind = KV_WALK_OTHER;
            return 0;
        }
    }
}

int kv_dir_walk_pop(kv_dir_walk_t* walk)
{
    if (!walk || !walk->top)
        return EINVAL;
    WalkNode* node = walk->top;
    walk->top = node->below;
    kv_dir_close(&node->dir);
    delete node;
    return 0;
}

int kv_dir_walk_release(kv_dir_walk_t** walk)
{
    if (!walk)
        return EINVAL;
    if (*walk) {
        while (kv_dir_walk_pop(*walk) == 0) { }
        delete *walk;
        *walk = nullptr;
    }
    return 0;
}

} // extern "C"
