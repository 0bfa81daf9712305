#pragma once
// Byte streams over files, through the aFile layer.

#include "aStream.h"

// A stream over the file `path` opened for reading: get yields one byte per call and aErrEOF at
// the end; delete closes the file. No put or write. On success `*stream` is the caller's to
// destroy. aErrResource for any failure: a null argument, a file that can't be opened, memory.
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);

// A stream over the file `path`, created or truncated for writing: put and write; delete closes
// the file (aStream_Destroy then reports aErrIO when buffered bytes could not be written out).
// No get. On success `*stream` is the caller's to destroy. aErrResource for any failure.
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);
