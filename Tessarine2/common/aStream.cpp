#include "Tessarine2/common/aStream.h"

#include <cstring>
#include <new>

#include "Tessarine2/common/aFile.h"

namespace {

constexpr uint16_t aSTREAMCHECK = 0x4321;

// Reads up to this many bytes need no working memory from the heap.
constexpr size_t kStackReadBuffer = 64;

}  // namespace

struct aStream {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc deleteProc;
  void* reference;
  // Push-back ring; NULL until the first push-back. Holds at most
  // capacity - 1 bytes.
  uint8_t* ring;
  uint32_t count;
  size_t capacity;
  size_t readIndex;
  size_t writeIndex;
  uint16_t check;
  aStreamWaitProc wait;
};

namespace {

bool aVALIDSTREAM(const aStream* stream) { return stream != nullptr && stream->check == aSTREAMCHECK; }

// Makes room for one more byte: the first ring, or one 512 bytes larger
// holding the same bytes in order from index 0.
bool sRingReserve(aStream* stream) {
  if (stream->ring == nullptr) {
    stream->ring = new (std::nothrow) uint8_t[aSTREAMBUFCHUNK];
    if (stream->ring == nullptr) {
      return false;
    }
    stream->capacity = aSTREAMBUFCHUNK;
    stream->count = 0;
    stream->readIndex = 0;
    stream->writeIndex = 0;
    return true;
  }
  if (stream->count < stream->capacity - 1) {
    return true;
  }
  size_t grown = stream->capacity + aSTREAMBUFCHUNK;
  uint8_t* fresh = new (std::nothrow) uint8_t[grown];
  if (fresh == nullptr) {
    return false;
  }
  for (size_t i = 0; i < stream->count; ++i) {
    fresh[i] = stream->ring[(stream->readIndex + i) % stream->capacity];
  }
  delete[] stream->ring;
  stream->ring = fresh;
  stream->readIndex = 0;
  stream->writeIndex = stream->count;
  stream->capacity = grown;
  return true;
}

aErr sRingPushBack(aStream* stream, uint8_t byte) {
  if (!sRingReserve(stream)) {
    return aErrMemory;
  }
  stream->ring[stream->writeIndex] = byte;
  stream->writeIndex = (stream->writeIndex + 1) % stream->capacity;
  ++stream->count;
  return aErrNone;
}

// Puts a byte before everything held, so it is the next one read. Used to
// give back bytes a record read took beyond what it could keep.
aErr sRingPushFront(aStream* stream, uint8_t byte) {
  if (!sRingReserve(stream)) {
    return aErrMemory;
  }
  stream->readIndex = (stream->readIndex + stream->capacity - 1) % stream->capacity;
  stream->ring[stream->readIndex] = byte;
  ++stream->count;
  return aErrNone;
}

aErr sPushFrontAll(aStream* stream, const uint8_t* bytes, size_t count) {
  for (size_t i = count; i > 0; --i) {
    aErr err = sRingPushFront(stream, bytes[i - 1]);
    if (err != aErrNone) {
      return err;
    }
  }
  return aErrNone;
}

uint8_t sRingTake(aStream* stream) {
  uint8_t byte = stream->ring[stream->readIndex];
  stream->readIndex = (stream->readIndex + 1) % stream->capacity;
  --stream->count;
  return byte;
}

aErr sReadInto(aStream* stream, uint8_t* work, size_t count, uint8_t* destination) {
  size_t taken = 0;
  aErr err = aErrNone;
  while (taken < count) {
    if (stream->count > 0) {
      work[taken++] = sRingTake(stream);
      continue;
    }
    uint8_t byte = 0;
    err = stream->get(&byte, stream->reference);
    if (err != aErrNone) {
      break;
    }
    work[taken++] = byte;
  }
  if (err == aErrNotReady) {
    // The ring is empty here (the transport is asked only then), so the
    // bytes go back in their order.
    for (size_t i = 0; i < taken; ++i) {
      aErr pushed = sRingPushBack(stream, work[i]);
      if (pushed != aErrNone) {
        return pushed;
      }
    }
    return aErrNotReady;
  }
  if (err == aErrNone || err == aErrEOF) {
    if (work != destination) {
      memcpy(destination, work, taken);
    }
  }
  return err;
}

// Longest proper suffix of matched + byte that is also a prefix of the
// delimiter: where the match goes on after a byte that broke it.
size_t sDelimiterFallback(const uint8_t* delimiter, size_t matched, uint8_t byte) {
  for (size_t k = matched; k > 0; --k) {
    // Candidate: the last k bytes of delimiter[0..matched) + byte.
    if (delimiter[k - 1] != byte) {
      continue;
    }
    if (memcmp(delimiter, delimiter + (matched - (k - 1)), k - 1) == 0) {
      return k;
    }
  }
  return 0;
}

}  // namespace

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc deleteProc, void* reference) {
  aStream* stream = new (std::nothrow) aStream();
  if (stream == nullptr) {
    return nullptr;
  }
  stream->get = get;
  stream->put = put;
  stream->write = write;
  stream->deleteProc = deleteProc;
  stream->reference = reference;
  stream->check = aSTREAMCHECK;
  return stream;
}

aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait) {
  if (!aVALIDSTREAM(stream)) {
    return aErrParam;
  }
  stream->wait = wait;
  return aErrNone;
}

aErr aStream_WaitReadable(aStream* stream, uint32_t timeoutMS) {
  if (!aVALIDSTREAM(stream)) {
    return aErrParam;
  }
  if (stream->get == nullptr) {
    return aErrMode;
  }
  if (stream->count > 0 || stream->wait == nullptr) {
    return aErrNone;
  }
  return stream->wait(timeoutMS, stream->reference);
}

aErr aStream_Read(aStream* stream, void* destination, size_t count) {
  if (!aVALIDSTREAM(stream) || destination == nullptr) {
    return aErrParam;
  }
  if (stream->get == nullptr) {
    return aErrMode;
  }
  if (count == 0) {
    return aErrNone;
  }
  uint8_t* out = static_cast<uint8_t*>(destination);
  if (count <= kStackReadBuffer) {
    uint8_t work[kStackReadBuffer];
    return sReadInto(stream, work, count, out);
  }
  uint8_t* work = new (std::nothrow) uint8_t[count];
  if (work == nullptr) {
    return aErrResource;
  }
  aErr err = sReadInto(stream, work, count, out);
  delete[] work;
  return err;
}

aErr aStream_Write(aStream* stream, const void* data, size_t count) {
  if (!aVALIDSTREAM(stream) || data == nullptr) {
    return aErrParam;
  }
  if (stream->write == nullptr && stream->put == nullptr) {
    return aErrMode;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (stream->write != nullptr && (count > 1 || stream->put == nullptr)) {
    return stream->write(bytes, count, stream->reference);
  }
  for (size_t i = 0; i < count; ++i) {
    aErr err = stream->put(bytes[i], stream->reference);
    if (err != aErrNone) {
      return err;
    }
  }
  return aErrNone;
}

aErr aStreamBufferChar(aStream* stream, uint8_t byte) {
  if (!aVALIDSTREAM(stream)) {
    return aErrParam;
  }
  return sRingPushBack(stream, byte);
}

aErr aStream_ReadRecord(aStream* stream, void* buffer, size_t* length, size_t size, const void* delimiter,
                        size_t delimiterLength) {
  if (!aVALIDSTREAM(stream) || buffer == nullptr || delimiter == nullptr || delimiterLength == 0 || size == 0) {
    return aErrParam;
  }
  const uint8_t* delim = static_cast<const uint8_t*>(delimiter);
  // stored: the record so far. The bytes of a delimiter matched so far are
  // delim[0..matched) and are not stored: they become data only when the
  // match breaks.
  uint8_t* stored = new (std::nothrow) uint8_t[size];
  if (stored == nullptr) {
    return aErrResource;
  }
  size_t count = 0;
  size_t matched = 0;
  aErr result = aErrNone;
  for (;;) {
    uint8_t byte = 0;
    aErr err = aStream_Read(stream, &byte, 1);
    if (err == aErrEOF) {
      // A partial delimiter at the end is data.
      size_t keep = matched < size - count ? matched : size - count;
      memcpy(stored + count, delim, keep);
      count += keep;
      result = sPushFrontAll(stream, delim + keep, matched - keep);
      if (result == aErrNone && count == 0) {
        result = aErrEOF;
      }
      break;
    }
    if (err == aErrNotReady) {
      // Nothing else is held in the ring now, so the record's bytes go back
      // in their order.
      result = sPushFrontAll(stream, delim, matched);
      if (result == aErrNone) {
        result = sPushFrontAll(stream, stored, count);
      }
      if (result == aErrNone) {
        result = aErrNotReady;
      }
      break;
    }
    if (err != aErrNone) {
      result = err;
      break;
    }
    if (byte == delim[matched]) {
      if (++matched == delimiterLength) {
        break;
      }
      continue;
    }
    // The byte breaks the match. Of delim[0..matched) + byte, the tail that
    // can still start the delimiter stays matched; the rest is data. What
    // does not fit goes back to the stream.
    auto candidateAt = [&](size_t i) { return i < matched ? delim[i] : byte; };
    size_t total = matched + 1;
    size_t next = sDelimiterFallback(delim, matched, byte);
    size_t freed = total - next;
    size_t keep = freed < size - count ? freed : size - count;
    for (size_t i = 0; i < keep; ++i) {
      stored[count++] = candidateAt(i);
    }
    if (keep < freed || count == size) {
      for (size_t i = total; i > keep && result == aErrNone; --i) {
        result = sRingPushFront(stream, candidateAt(i - 1));
      }
      break;
    }
    matched = next;
  }
  if (result == aErrNone || result == aErrEOF) {
    memcpy(buffer, stored, count);
    if (length != nullptr) {
      *length = count;
    }
  }
  delete[] stored;
  return result;
}

aErr aStream_WriteRecord(aStream* stream, const void* data, size_t length, const void* delimiter,
                         size_t delimiterLength) {
  if (!aVALIDSTREAM(stream) || data == nullptr || delimiter == nullptr || delimiterLength == 0) {
    return aErrParam;
  }
  aErr err = aStream_Write(stream, data, length);
  if (err != aErrNone) {
    return err;
  }
  return aStream_Write(stream, delimiter, delimiterLength);
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size) {
  static const uint8_t kNul = 0;
  if (!aVALIDSTREAM(stream) || buffer == nullptr || size < 2) {
    return aErrParam;
  }
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, buffer, &length, size - 1, &kNul, 1);
  if (err == aErrNone) {
    buffer[length] = '\0';
  }
  return err;
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
  if (!aVALIDSTREAM(stream) || text == nullptr) {
    return aErrParam;
  }
  return aStream_Write(stream, text, strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* delimiter) {
  if (!aVALIDSTREAM(stream) || buffer == nullptr || delimiter == nullptr || size < 2) {
    return aErrParam;
  }
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, buffer, &length, size - 1, delimiter, strlen(delimiter));
  if (err == aErrNone) {
    buffer[length] = '\0';
  }
  return err;
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* delimiter) {
  if (!aVALIDSTREAM(stream) || text == nullptr || delimiter == nullptr) {
    return aErrParam;
  }
  aErr err = aStream_Write(stream, text, strlen(text));
  if (err != aErrNone) {
    return err;
  }
  return aStream_Write(stream, delimiter, strlen(delimiter) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination) {
  if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination)) {
    return aErrParam;
  }
  if (source->get == nullptr || destination->put == nullptr) {
    return aErrMode;
  }
  while (source->count > 0) {
    aErr err = destination->put(sRingTake(source), destination->reference);
    if (err != aErrNone) {
      return err;
    }
  }
  for (;;) {
    uint8_t byte = 0;
    aErr err = source->get(&byte, source->reference);
    if (err == aErrEOF) {
      return aErrNone;
    }
    if (err != aErrNone) {
      return err;
    }
    err = destination->put(byte, destination->reference);
    if (err != aErrNone) {
      return err;
    }
  }
}

aErr aStream_Destroy(aStream** stream) {
  if (stream == nullptr) {
    return aErrParam;
  }
  aStream* doomed = *stream;
  *stream = nullptr;
  if (!aVALIDSTREAM(doomed)) {
    return aErrParam;
  }
  aErr err = aErrNone;
  if (doomed->deleteProc != nullptr) {
    err = doomed->deleteProc(doomed->reference);
  }
  delete[] doomed->ring;
  doomed->check = 0;
  delete doomed;
  return err;
}

namespace {

aErr sFileGet(uint8_t* byte, void* reference) {
  aFile* file = static_cast<aFile*>(reference);
  if (file == nullptr) {
    return aErrIO;
  }
  return aFile_Read(file, byte, 1, nullptr);
}

aErr sFilePut(uint8_t byte, void* reference) {
  aFile* file = static_cast<aFile*>(reference);
  if (file == nullptr) {
    return aErrIO;
  }
  return aFile_Write(file, &byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* data, size_t length, void* reference) {
  aFile* file = static_cast<aFile*>(reference);
  if (file == nullptr) {
    return aErrIO;
  }
  size_t written = 0;
  aErr err = aFile_Write(file, data, length, &written);
  // A partial write is a failure here: the caller cannot learn the count.
  if (err == aErrNone && written != length) {
    err = aErrIO;
  }
  return err;
}

aErr sFileDelete(void* reference) {
  aFile* file = static_cast<aFile*>(reference);
  return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, aFileMode mode, aStream** result) {
  if (path == nullptr || result == nullptr) {
    return aErrResource;
  }
  aFile* file = aFile_Open(path, mode);
  if (file == nullptr) {
    return aErrResource;
  }
  aStream* stream = mode == aFileModeReadOnly
                        ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                        : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
  if (stream == nullptr) {
    aFile_Close(&file);
    return aErrResource;
  }
  *result = stream;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStream** result) {
  return sCreateFileStream(path, aFileModeReadOnly, result);
}

aErr aStream_CreateFileOutput(const char* path, aStream** result) {
  return sCreateFileStream(path, aFileModeWriteOnly, result);
}
