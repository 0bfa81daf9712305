#include "aStream_File.h"

#include "aFile.h"

namespace {

aErr sFileGet(uint8_t* byte, void* state) {
    return aFile_Read(static_cast<aFileRef>(state), byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* bytes, size_t length, void* state) {
    size_t written = 0;
    aErr err = aFile_Write(static_cast<aFileRef>(state), bytes, length, &written);
    if (err == aErrNone && written != length) err = aErrIO;
    return err;
}

aErr sFilePut(const uint8_t* byte, void* state) {
    return sFileWrite(byte, 1, state);
}

aErr sFileDelete(void* state) {
    auto file = static_cast<aFileRef>(state);
    return aFile_Close(&file);
}

aErr sCreate(const char* path, aFileMode mode, aStreamGetProc get, aStreamPutProc put,
             aStreamWriteProc write, aStreamRef* stream) {
    if (!stream) return aErrResource;
    *stream = nullptr;
    if (!path) return aErrResource;

    aFileRef file = aFile_Open(path, mode);
    if (!file) return aErrResource;
    aStreamRef created = aStream_Create(get, put, write, sFileDelete, file);
    if (!created) {
        aFile_Close(&file);
        return aErrResource;
    }
    *stream = created;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
    return sCreate(path, aFileModeRead, sFileGet, nullptr, nullptr, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
    return sCreate(path, aFileModeWrite, nullptr, sFilePut, sFileWrite, stream);
}
