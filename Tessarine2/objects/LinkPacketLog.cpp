// Link: the packet-log writer. The link core records every packet the link
// writes and receives in a ring (and text marks put there by callers); a
// logger thread drains it into a text file, one line per record:
//
//   "%d %s "   byte count, ">" for a packet written to the module, "<" for
//              any other record
//   "0x%X "    per byte of a packet record; a text mark's bytes as they are
//   "\r\n"
//
// so a request [3, 0x49, 0x20] to module 6 is "5 > 0x6 0x3 0x49 0x20 \r\n"
// and the start mark "6 < START\0\r\n".

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Tessarine2/common/aPacketLog.h"
#include "Tessarine2/common/aTime.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/LinkImpl.h"

namespace Zeltrova {
namespace Tessarine {

namespace {

// An empty log is looked at again after this pause.
constexpr uint64_t kEmptyPauseMS = 5;
// Any other failure (no link, the link gone or without a log) pauses
// longer: nothing changes there quickly, and the thread must not spin.
constexpr uint64_t kErrorPauseMS = 50;

// Written when the writer starts, terminating zero included.
constexpr char kStartMark[] = "START";

// A logger hands its callback a 32-bit value, too small for a pointer: the
// callback finds the link it drains through this table of writers, which
// maps the value to the Link's logLink.
struct Writers {
  std::mutex lock;
  std::map<uint32_t, const std::atomic<linkID>*> links;
  uint32_t next = 1;
};

Writers& writers() {
  static Writers table;
  return table;
}

linkID writerLink(uint32_t token) {
  Writers& table = writers();
  std::lock_guard<std::mutex> hold(table.lock);
  auto entry = table.links.find(token);
  return entry == table.links.end() ? 0 : entry->second->load();
}

void writeLine(aFile* file, int32_t kind, const uint8_t* bytes, uint32_t length) {
  std::string line;
  line.reserve(16 + static_cast<size_t>(length) * 5);
  char piece[16];
  std::snprintf(piece, sizeof piece, "%d %s ", static_cast<int>(length), kind == aPACKETLOG_OUTGOING ? ">" : "<");
  line += piece;
  for (uint32_t i = 0; i < length; ++i) {
    if (kind == aPACKETLOG_TEXT) {
      line += static_cast<char>(bytes[i]);
    } else {
      std::snprintf(piece, sizeof piece, "0x%X ", static_cast<unsigned>(bytes[i]));
      line += piece;
    }
  }
  line += "\r\n";
  // One write per line: the file is unbuffered.
  size_t written = 0;
  aFile_Write(file, line.data(), line.size(), &written);
}

}  // namespace

void Link::impl::readDebugBuffer(aFile* file, uint32_t token) {
  const linkID link = writerLink(token);
  if (link == 0) {
    aTime_MSSleep(kErrorPauseMS);
    return;
  }
  // Room for the longest record the ring takes; a longer one is read into
  // a buffer of its own size, so no record can block the ones behind it.
  uint8_t buffer[aPACKETLOG_MAX_ENTRY];
  uint32_t length = sizeof buffer;
  int32_t kind = 0;
  aErr err = aLink_PacketDebug_Read(link, &kind, &length, buffer);
  if (err == aErrOverrun && length > sizeof buffer) {
    std::vector<uint8_t> record(length);
    err = aLink_PacketDebug_Read(link, &kind, &length, record.data());
    if (err == aErrNone) {
      writeLine(file, kind, record.data(), length);
      return;
    }
  }
  switch (err) {
    case aErrNone:
      writeLine(file, kind, buffer, length);
      return;
    case aErrNotFound:
      aTime_MSSleep(kEmptyPauseMS);
      return;
    default:
      aTime_MSSleep(kErrorPauseMS);
      return;
  }
}

void Link::impl::linkChanged() {
  logLink.store(linkRef);
  if (logWanted && linkRef != 0) {
    aLink_PacketDebug_Enable(linkRef);
  }
}

void Link::impl::dropLogWriter() {
  if (logger != nullptr) {
    aLogger_Destroy(&logger);
  }
  logLink.store(0);
  if (logToken != 0 && logger == nullptr) {
    Writers& table = writers();
    std::lock_guard<std::mutex> hold(table.lock);
    table.links.erase(logToken);
    logToken = 0;
  }
}

aErr Link::enablePacketLog(const char* fileName) {
  if (m_impl == nullptr || m_impl->linkRef == 0) {
    return aErrConfiguration;
  }
  aErr err = aLink_PacketDebug_Enable(m_impl->linkRef);
  if (err != aErrNone) {
    return err;
  }
  if (m_impl->logger == nullptr) {
    if (m_impl->logToken == 0) {
      Writers& table = writers();
      std::lock_guard<std::mutex> hold(table.lock);
      m_impl->logToken = table.next++;
      if (m_impl->logToken == 0) {
        m_impl->logToken = table.next++;
      }
      table.links[m_impl->logToken] = &m_impl->logLink;
    }
    m_impl->logLink.store(m_impl->linkRef);
    m_impl->logger = aLogger_Create(m_impl->logToken, impl::readDebugBuffer, fileName);
    if (m_impl->logger == nullptr) {
      // The file cannot be opened: said so, rather than a log that fills
      // and is never written.
      return aErrIO;
    }
  }
  m_impl->logWanted = true;
  err = aLogger_Enable(m_impl->logger);
  if (err == aErrNone) {
    aLink_PacketDebug_Write(m_impl->linkRef, aPACKETLOG_TEXT, sizeof kStartMark,
                            reinterpret_cast<const uint8_t*>(kStartMark));
  }
  return err;
}

aErr Link::disablePacketLog() {
  if (m_impl == nullptr || m_impl->linkRef == 0) {
    return aErrConfiguration;
  }
  aLink_PacketDebug_Disable(m_impl->linkRef);
  m_impl->logWanted = false;
  if (m_impl->logger == nullptr) {
    return aErrParam;
  }
  return aLogger_Disable(m_impl->logger);
}

}  // namespace Tessarine
}  // namespace Zeltrova
