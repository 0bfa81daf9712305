#include "aFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr uint16_t kFileCheck = 0xFEED;

enum class sLastOp { None, Read, Write };

}  // namespace

struct aFile {
    uint16_t check;
    aFileMode mode;
    FILE* stream;
    // The C library needs a flush or a seek between output and input on the same stream; the
    // handle remembers the direction so that append-mode callers need not care.
    sLastOp lastOp;
};

namespace {

bool sValid(const aFile* file) {
    return file && file->check == kFileCheck && file->stream;
}

bool sCanRead(const aFile* file) {
    return file->mode != aFileModeWrite;
}

bool sCanWrite(const aFile* file) {
    return file->mode != aFileModeRead;
}

aErr sCheckPath(const char* path) {
    if (!path) return aErrParam;
    if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return aErrFileNameLength;
    return aErrNone;
}

const char* sModeText(aFileMode mode) {
    switch (mode) {
        case aFileModeRead:
            return "rb";
        case aFileModeWrite:
            return "wb";
        case aFileModeAppend:
            return "ab+";
        default:
            return nullptr;
    }
}

aErr sOpenError(aFileMode mode, int error) {
    if (mode == aFileModeRead) return aErrNotFound;
    switch (error) {
        case EACCES:
        case EPERM:
            return aErrPermission;
        case EBUSY:
        case ETXTBSY:
            return aErrBusy;
        default:
            return aErrIO;
    }
}

void sTurnTo(aFile* file, sLastOp next) {
    if (file->lastOp != sLastOp::None && file->lastOp != next) fseeko(file->stream, 0, SEEK_CUR);
    file->lastOp = next;
}

bool sIsDirectory(FILE* stream) {
    struct stat st;
    return fstat(fileno(stream), &st) == 0 && S_ISDIR(st.st_mode);
}

bool sSize(FILE* stream, off_t* size) {
    const off_t saved = ftello(stream);
    if (saved < 0 || fseeko(stream, 0, SEEK_END) != 0) return false;
    const off_t end = ftello(stream);
    if (fseeko(stream, saved, SEEK_SET) != 0 || end < 0) return false;
    *size = end;
    return true;
}

}  // namespace

bool aFile_Exists(const char* path) {
    if (sCheckPath(path) != aErrNone) return false;
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aFileRef aFile_Open(const char* path, aFileMode mode, aErr* error) {
    aErr ignored;
    aErr& result = error ? *error : ignored;
    result = sCheckPath(path);
    if (result != aErrNone) return nullptr;
    if (!*path) {
        result = aErrParam;
        return nullptr;
    }
    const char* modeText = sModeText(mode);
    if (!modeText) {
        result = aErrMode;
        return nullptr;
    }

    aFile* file = new (std::nothrow) aFile{kFileCheck, mode, nullptr, sLastOp::None};
    if (!file) {
        result = aErrMemory;
        return nullptr;
    }
    file->stream = fopen(path, modeText);
    if (!file->stream) {
        result = sOpenError(mode, errno);
        delete file;
        return nullptr;
    }
    // Reading mode opens a directory without complaint, but it holds no bytes to read.
    if (sIsDirectory(file->stream)) {
        fclose(file->stream);
        delete file;
        result = sOpenError(mode, EISDIR);
        return nullptr;
    }
    // "a+" leaves the read position at the start; the handle promises the end.
    if (mode == aFileModeAppend && fseeko(file->stream, 0, SEEK_END) != 0) {
        fclose(file->stream);
        delete file;
        result = aErrIO;
        return nullptr;
    }
    return file;
}

aErr aFile_Close(aFileRef* file) {
    if (!file) return aErrParam;
    aFile* handle = *file;
    *file = nullptr;
    if (!sValid(handle)) return aErrParam;
    const bool closed = fclose(handle->stream) == 0;
    handle->check = 0;
    handle->stream = nullptr;
    delete handle;
    return closed ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef file, void* buffer, size_t length, size_t* count) {
    if (count) *count = 0;
    if (!sValid(file)) return aErrParam;
    if (!sCanRead(file)) return aErrMode;
    if (!buffer) return aErrParam;
    sTurnTo(file, sLastOp::Read);
    const size_t read = fread(buffer, 1, length, file->stream);
    if (count) *count = read;
    return (read == 0 && length != 0) ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFileRef file, const void* data, size_t length, size_t* count) {
    if (count) *count = 0;
    if (!sValid(file)) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    if (!data) return aErrParam;
    sTurnTo(file, sLastOp::Write);
    const size_t written = fwrite(data, 1, length, file->stream);
    if (count) *count = written;
    return (written == 0 && length != 0) ? aErrIO : aErrNone;
}

aErr aFile_Seek(aFileRef file, int64_t offset, int origin) {
    if (!sValid(file)) return aErrParam;
    if (origin != aSeekStart && origin != aSeekCurrent && origin != aSeekEnd) return aErrParam;

    off_t size = 0;
    const off_t current = ftello(file->stream);
    if (current < 0 || !sSize(file->stream, &size)) return aErrIO;

    int64_t base = 0;
    if (origin == aSeekCurrent) base = current;
    if (origin == aSeekEnd) base = size;
    int64_t target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > size)
        return aErrRange;
    if (fseeko(file->stream, static_cast<off_t>(target), SEEK_SET) != 0) return aErrIO;
    file->lastOp = sLastOp::None;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t* size) {
    if (!sValid(file) || !size) return aErrParam;
    *size = 0;
    off_t found = 0;
    if (!sSize(file->stream, &found)) return aErrIO;
    *size = static_cast<size_t>(found);
    return aErrNone;
}

aErr aFile_GetPosition(aFileRef file, size_t* position) {
    if (!sValid(file) || !position) return aErrParam;
    *position = 0;
    const off_t current = ftello(file->stream);
    if (current < 0) return aErrIO;
    *position = static_cast<size_t>(current);
    return aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length) {
    if (length) *length = 0;
    if (buffer && size != 0) buffer[0] = '\0';
    if (!sValid(file)) return aErrParam;
    if (!sCanRead(file)) return aErrMode;
    // One byte is the terminator; a buffer without room for a character could never progress.
    if (!buffer || size < 2) return aErrParam;
    sTurnTo(file, sLastOp::Read);

    // fgets takes an int; longer lines are simply read in int-sized pieces via aErrOverrun.
    const int limit = size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(size);
    if (!fgets(buffer, limit, file->stream)) {
        buffer[0] = '\0';
        return ferror(file->stream) ? aErrIO : aErrEOF;
    }
    const size_t read = strlen(buffer);
    if (length) *length = read;
    if (read > 0 && buffer[read - 1] == '\n') return aErrNone;
    if (read + 1 < static_cast<size_t>(limit)) return aErrNone;  // last line, no newline

    // The buffer is full. A last line that ends exactly here is complete, not overrun.
    const int next = fgetc(file->stream);
    if (next == EOF) return ferror(file->stream) ? aErrIO : aErrNone;
    ungetc(next, file->stream);
    return aErrOverrun;
}

aErr aFile_SetUnbuffered(aFileRef file) {
    if (!sValid(file)) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    fflush(file->stream);
    return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Printf(aFileRef file, const char* format, ...) {
    if (!sValid(file) || !format) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    sTurnTo(file, sLastOp::Write);
    va_list args;
    va_start(args, format);
    const int written = vfprintf(file->stream, format, args);
    va_end(args);
    return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_Delete(const char* path) {
    const aErr pathCheck = sCheckPath(path);
    if (pathCheck != aErrNone) return pathCheck;
    if (unlink(path) == 0) return aErrNone;
    switch (errno) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
        case EPERM:
            return aErrPermission;
        default:
            return aErrIO;
    }
}
