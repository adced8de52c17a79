// The LOB and BFILE entry points. A locator holds its value; one fetched from a table row
// writes every change back to that row (see oci_abi.h).
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/oci-standin/oci_internal.h"

namespace ocistandin {
namespace {

LobHandle& anyLob(const void* locp) {
  if (auto* file = lookup<LobHandle>(locp, OCI_DTYPE_FILE)) return *file;
  return need<LobHandle>(locp, OCI_DTYPE_LOB);
}

LobHandle& initedLob(void* locp) {
  LobHandle& l = anyLob(locp);
  if (!l.initialized) throw OraError(22275, "invalid LOB locator specified");
  if (l.type == OCI_DTYPE_FILE && !l.opened)
    throw OraError(22289, "cannot perform operation on an unopened file or LOB");
  return l;
}

LobHandle& fileLob(const void* filep) {
  auto& l = need<LobHandle>(filep, OCI_DTYPE_FILE);
  if (!l.initialized) throw OraError(22275, "invalid LOB locator specified");
  return l;
}

std::filesystem::path filePath(SvcHandle& svc, const LobHandle& l) {
  return std::filesystem::path(liveSession(sessionOfSvc(svc)).folder()) / "directories" / l.directory /
         l.fileName;
}

// A locator fetched from a row writes its whole value back to that row after every change, in
// the session's transaction, so the change is kept at commit and undone by a rollback.
void persistLob(LobHandle& l) {
  if (l.table.empty()) return;
  auto* s = lookup<SessionHandle>(l.session, OCI_HTYPE_SESSION);
  if (!s || s->generation != l.generation) throw OraError(22990, "LOB locators cannot span transactions");
  Session& session = liveSession(s);
  const Value v = l.clob ? Value::text(utf8Of(l.text)) : Value{Value::Kind::Bytes, 0, 0, l.bytes};
  session.writeCell(l.database, l.table, l.column, l.row, v);
}

// The UTF-8 bytes of CLOB units [from, from + count) that fit in `room` bytes, never splitting a
// character; `taken` answers the units used.
std::string clobBytes(const LobHandle& l, size_t from, size_t count, size_t room, size_t& taken) {
  std::string out;
  taken = 0;
  while (taken < count && from + taken < l.text.size()) {
    size_t units = 1;
    const char16_t u = l.text[from + taken];
    if (u >= 0xD800 && u < 0xDC00 && from + taken + 1 < l.text.size()) units = 2;
    const std::string piece = utf8Of(std::u16string_view(l.text).substr(from + taken, units));
    if (out.size() + piece.size() > room) break;
    out += piece;
    taken += units;
  }
  return out;
}

}  // namespace

Value lobValue(const LobHandle& l) {
  if (l.type == OCI_DTYPE_FILE) return l.initialized ? Value::text(l.directory + "/" + l.fileName) : Value{};
  if (!l.initialized) return {};
  if (l.clob) return Value::text(utf8Of(l.text));
  return {Value::Kind::Bytes, 0, 0, l.bytes};
}

void fillLob(LobHandle& l, const Value& value, bool clob, const Session& session) {
  l.initialized = true;
  l.streaming = false;
  l.session = nullptr;
  l.table.clear();
  if (l.type == OCI_DTYPE_FILE) {
    const std::string text = valueText(session, value, 0);
    const size_t slash = text.find('/');
    l.directory = slash == std::string::npos ? std::string() : text.substr(0, slash);
    l.fileName = slash == std::string::npos ? text : text.substr(slash + 1);
    l.opened = false;
    l.bytes.clear();
    return;
  }
  l.clob = clob;
  if (clob)
    l.text = utf16Of(valueText(session, value, 0));
  else
    l.bytes = value.kind == Value::Kind::Bytes ? value.bytes : valueText(session, value, 0);
}

}  // namespace ocistandin

using namespace ocistandin;

OCI_EXPORT sword OCILobCreateTemporary(void* svchp, void* errhp, void* locp, ub2, ub1 csfrm, ub1 lobtype, int,
                                       ub2) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    liveSession(sessionOfSvc(need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX)));
    auto& l = need<LobHandle>(locp, OCI_DTYPE_LOB);
    if (lobtype != 1 && lobtype != 2) throw OraError(22275, "invalid LOB locator specified");
    l.initialized = true;
    l.clob = lobtype == 2;
    l.national = csfrm == 2;
    l.text.clear();
    l.bytes.clear();
    l.streaming = false;
    l.session = nullptr;
    l.table.clear();
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobFreeTemporary(void* svchp, void* errhp, void* locp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    auto& l = need<LobHandle>(locp, OCI_DTYPE_LOB);
    l.initialized = false;
    l.text.clear();
    l.bytes.clear();
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobIsTemporary(void*, void* errhp, void* locp, int* isTemporary) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const LobHandle& l = anyLob(locp);
    *isTemporary = l.initialized && l.type == OCI_DTYPE_LOB && l.table.empty() ? 1 : 0;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobLocatorIsInit(void*, void* errhp, const void* locp, int* isInit) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    *isInit = anyLob(locp).initialized ? 1 : 0;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobGetLength(void* svchp, void* errhp, void* locp, ub4* lenp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    *lenp = static_cast<ub4>(initedLob(locp).length());
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobCharSetForm(void*, void* errhp, const void* locp, ub1* csfrm) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const LobHandle& l = initedLob(const_cast<void*>(locp));
    *csfrm = !l.clob ? 0 : l.national ? 2 : 1;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobCharSetId(void*, void* errhp, const void* locp, ub2* csid) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const LobHandle& l = initedLob(const_cast<void*>(locp));
    *csid = !l.clob ? 0 : l.national ? 2000 : 873;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobTrim(void* svchp, void* errhp, void* locp, ub4 newlen) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& l = initedLob(locp);
    if (newlen > l.length())
      throw OraError(22926, "specified trim length is greater than current LOB value's length");
    if (l.clob)
      l.text.resize(newlen);
    else
      l.bytes.resize(newlen);
    persistLob(l);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobErase(void* svchp, void* errhp, void* locp, ub4* amount, ub4 offset) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& l = initedLob(locp);
    if (offset < 1) throw OraError(24801, "illegal parameter value in OCI lob function");
    const size_t from = offset - 1;
    const size_t n = from < l.length() ? std::min<size_t>(*amount, l.length() - from) : 0;
    for (size_t i = 0; i < n; ++i) {
      if (l.clob)
        l.text[from + i] = u' ';
      else
        l.bytes[from + i] = '\0';
    }
    *amount = static_cast<ub4>(n);
    persistLob(l);
    return OCI_SUCCESS;
  });
}

// Reads from unit `offset` (from 1): characters of a CLOB, bytes of a BLOB or BFILE. A CLOB read
// with character-set id 1000 delivers UTF-16 and answers units; otherwise it delivers UTF-8 and
// answers bytes. An amount of 0 streams: each call fills the buffer and answers OCI_NEED_DATA
// while units remain.
OCI_EXPORT sword OCILobRead(void* svchp, void* errhp, void* locp, ub4* amtp, ub4 offset, void* bufp, ub4 bufl,
                            void*, void*, ub2 csid, ub1) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& l = initedLob(locp);
    csid = lobCharsetId(csid);
    if (offset < 1) throw OraError(24801, "illegal parameter value in OCI lob function");
    const bool wide = l.clob && csid == kUtf16CharsetId;
    const bool stream = *amtp == 0;
    if (stream && !l.streaming) {
      l.streaming = true;
      l.streamAt = offset - 1;
    }
    const size_t from = stream ? l.streamAt : offset - 1;
    const size_t available = from < l.length() ? l.length() - from : 0;
    const size_t wanted = stream ? available : std::min<size_t>(available, *amtp);
    char* out = static_cast<char*>(bufp);
    size_t units = 0;
    if (l.clob && singleByteCharset(csid)) {
      units = std::min<size_t>(wanted, bufl);
      const std::string bytes = latin1Of(utf8Of(std::u16string_view(l.text).substr(from, units)));
      std::memcpy(out, bytes.data(), bytes.size());
      *amtp = static_cast<ub4>(bytes.size());
    } else if (l.clob && !wide) {
      const std::string bytes = clobBytes(l, from, wanted, bufl, units);
      std::memcpy(out, bytes.data(), bytes.size());
      *amtp = static_cast<ub4>(bytes.size());
    } else {
      units = std::min<size_t>(wanted, bufl / (wide ? 2 : 1));
      for (size_t i = 0; i < units; ++i) {
        if (wide)
          std::memcpy(out + 2 * i, &l.text[from + i], 2);
        else
          out[i] = l.bytes[from + i];
      }
      *amtp = static_cast<ub4>(units);
    }
    // A buffer that holds not even one character would end a streaming read early.
    if (units == 0 && wanted > 0) {
      l.streaming = false;
      throw OraError(24801, "illegal parameter value in OCI lob function");
    }
    if (!stream) return OCI_SUCCESS;
    l.streamAt = from + units;
    if (l.streamAt < l.length() && units > 0) return OCI_NEED_DATA;
    l.streaming = false;
    return OCI_SUCCESS;
  });
}

// Writes at unit `offset` (from 1); a gap before it is filled with zeros (BLOB) or blanks (CLOB).
// A CLOB takes UTF-16 with character-set id 1000 (`*amtp` units), else UTF-8 (up to `*amtp`
// characters within `buflen` bytes), and `*amtp` answers the characters written. Piece 0 writes once; pieces
// 1 (first), 2 (next) and 3 (last) write one after another, answering OCI_NEED_DATA until the last.
OCI_EXPORT sword OCILobWrite(void* svchp, void* errhp, void* locp, ub4* amtp, ub4 offset, void* bufp,
                             ub4 buflen, ub1 piece, void*, void*, ub2 csid, ub1) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& l = initedLob(locp);
    csid = lobCharsetId(csid);
    if (offset < 1 || piece > 3) throw OraError(24801, "illegal parameter value in OCI lob function");
    const bool wide = l.clob && csid == kUtf16CharsetId;
    size_t amount = *amtp;
    if (piece == 1 || piece == 2 || piece == 3) amount = buflen / (wide ? 2 : 1);
    if (amount * (wide ? 2 : 1) > buflen)
      throw OraError(24801, "illegal parameter value in OCI lob function");
    if (piece == 0 || piece == 1) l.streamAt = offset - 1;
    const size_t at = l.streamAt;
    const char* in = static_cast<const char*>(bufp);
    size_t written = 0;
    if (!l.clob) {
      if (l.bytes.size() < at + amount) l.bytes.resize(at + amount, '\0');
      std::memcpy(&l.bytes[at], in, amount);
      written = amount;
    } else {
      std::u16string units;
      if (wide) {
        units.resize(amount);
        std::memcpy(units.data(), in, amount * 2);
      } else if (singleByteCharset(csid)) {
        units = utf16Of(textOfLatin1(std::string(in, std::min<size_t>(amount, buflen))));
      } else {
        // Up to `amount` characters, never past the buffer: callers count either way.
        size_t bytes = 0, characters = 0;
        while (bytes < buflen && characters < amount) {
          const auto c = static_cast<unsigned char>(in[bytes]);
          bytes += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
          ++characters;
        }
        units = utf16Of(std::string(in, std::min<size_t>(bytes, buflen)));
      }
      if (l.text.size() < at + units.size()) l.text.resize(at + units.size(), u' ');
      std::copy(units.begin(), units.end(), l.text.begin() + static_cast<std::ptrdiff_t>(at));
      written = units.size();
    }
    l.streamAt = at + written;
    *amtp = static_cast<ub4>(written);
    if (piece == 1 || piece == 2) return OCI_NEED_DATA;
    persistLob(l);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobAppend(void* svchp, void* errhp, void* dstp, void* srcp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& dst = initedLob(dstp);
    const LobHandle& src = initedLob(srcp);
    if (dst.clob != src.clob) throw OraError(22990, "inconsistent datatypes: LOB kinds differ");
    if (dst.clob)
      dst.text += src.text;
    else
      dst.bytes += src.bytes;
    persistLob(dst);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobCopy(void* svchp, void* errhp, void* dstp, void* srcp, ub4 amount, ub4 dstOffset,
                            ub4 srcOffset) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& dst = initedLob(dstp);
    const LobHandle& src = initedLob(srcp);
    if (dstOffset < 1 || srcOffset < 1 || dst.clob != src.clob)
      throw OraError(24801, "illegal parameter value in OCI lob function");
    const size_t from = srcOffset - 1, at = dstOffset - 1;
    const size_t n = from < src.length() ? std::min<size_t>(amount, src.length() - from) : 0;
    if (dst.clob) {
      if (dst.text.size() < at + n) dst.text.resize(at + n, u' ');
      std::copy_n(src.text.begin() + static_cast<std::ptrdiff_t>(from), n,
                  dst.text.begin() + static_cast<std::ptrdiff_t>(at));
    } else {
      if (dst.bytes.size() < at + n) dst.bytes.resize(at + n, '\0');
      std::copy_n(src.bytes.begin() + static_cast<std::ptrdiff_t>(from), n,
                  dst.bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }
    persistLob(dst);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobLoadFromFile(void* svchp, void* errhp, void* dstp, void* filep, ub4 amount,
                                    ub4 dstOffset, ub4 srcOffset) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& dst = initedLob(dstp);
    const LobHandle& file = initedLob(filep);
    if (dstOffset < 1 || srcOffset < 1) throw OraError(24801, "illegal parameter value in OCI lob function");
    const size_t from = srcOffset - 1, at = dstOffset - 1;
    if (from + amount > file.bytes.size())
      throw OraError(22993, "specified input amount is greater than actual source amount");
    const std::string piece = file.bytes.substr(from, amount);
    if (dst.clob) {
      const std::u16string units = utf16Of(piece);
      if (dst.text.size() < at + units.size()) dst.text.resize(at + units.size(), u' ');
      std::copy(units.begin(), units.end(), dst.text.begin() + static_cast<std::ptrdiff_t>(at));
    } else {
      if (dst.bytes.size() < at + piece.size()) dst.bytes.resize(at + piece.size(), '\0');
      std::copy(piece.begin(), piece.end(), dst.bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }
    persistLob(dst);
    return OCI_SUCCESS;
  });
}

// The new locator shares nothing with the source: it reads and writes the same row.
OCI_EXPORT sword OCILobAssign(void* envhp, void* errhp, const void* srcp, void** dstpp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& env = need<EnvHandle>(envhp, OCI_HTYPE_ENV);
    const LobHandle& src = anyLob(srcp);
    if (!dstpp) throw OraError(24801, "illegal parameter value in OCI lob function");
    LobHandle* dst = lookup<LobHandle>(*dstpp, src.type);
    if (!dst) {
      dst = new LobHandle(src.type, &env);
      std::lock_guard lock(registryMutex);
      env.adopt(dst);
    }
    dst->initialized = src.initialized;
    dst->clob = src.clob;
    dst->national = src.national;
    dst->text = src.text;
    dst->bytes = src.bytes;
    dst->directory = src.directory;
    dst->fileName = src.fileName;
    dst->opened = false;
    dst->streaming = false;
    dst->session = src.session;
    dst->generation = src.generation;
    dst->database = src.database;
    dst->table = src.table;
    dst->column = src.column;
    dst->row = src.row;
    *dstpp = dst;
    return OCI_SUCCESS;
  });
}

// Without an error handle, as the call is declared.
OCI_EXPORT sword OCILobIsEqual(void*, const void* xp, const void* yp, int* isEqual) {
  auto* x = lookup<LobHandle>(xp, OCI_DTYPE_LOB) ? lookup<LobHandle>(xp, OCI_DTYPE_LOB)
                                                 : lookup<LobHandle>(xp, OCI_DTYPE_FILE);
  auto* y = lookup<LobHandle>(yp, OCI_DTYPE_LOB) ? lookup<LobHandle>(yp, OCI_DTYPE_LOB)
                                                 : lookup<LobHandle>(yp, OCI_DTYPE_FILE);
  if (!x || !y || !isEqual) return OCI_INVALID_HANDLE;
  ++callCount;
  const bool sameRow = !x->table.empty() && x->database == y->database && x->table == y->table &&
                       x->column == y->column && x->row == y->row;
  const bool sameFile =
      x->type == OCI_DTYPE_FILE && x->directory == y->directory && x->fileName == y->fileName;
  *isEqual = x == y || sameRow || sameFile ? 1 : 0;
  return OCI_SUCCESS;
}

// Buffering is a client-side cache of the real library; here every write reaches the row at once.
OCI_EXPORT sword OCILobEnableBuffering(void* svchp, void* errhp, void* locp) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    anyLob(locp);
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobDisableBuffering(void* svchp, void* errhp, void* locp) {
  return OCILobEnableBuffering(svchp, errhp, locp);
}

OCI_EXPORT sword OCILobFlushBuffer(void* svchp, void* errhp, void* locp, ub4) {
  return OCILobEnableBuffering(svchp, errhp, locp);
}

OCI_EXPORT sword OCILobFileIsOpen(void* svchp, void* errhp, void* filep, int* flag) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    *flag = fileLob(filep).opened ? 1 : 0;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobFileSetName(void*, void* errhp, void** filepp, const OraText* dir, ub2 dirLength,
                                   const OraText* name, ub2 nameLength) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& l = need<LobHandle>(filepp ? *filepp : nullptr, OCI_DTYPE_FILE);
    l.directory.assign(reinterpret_cast<const char*>(dir), dirLength);
    l.fileName.assign(reinterpret_cast<const char*>(name), nameLength);
    l.initialized = true;
    l.opened = false;
    l.bytes.clear();
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobFileGetName(void*, void* errhp, const void* filep, OraText* dir, ub2* dirLength,
                                   OraText* name, ub2* nameLength) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    const LobHandle& l = fileLob(filep);
    if (l.directory.size() > *dirLength || l.fileName.size() > *nameLength)
      throw OraError(22287, "invalid or modified directory occurred during FILEGETNAME operation");
    std::memcpy(dir, l.directory.data(), l.directory.size());
    std::memcpy(name, l.fileName.data(), l.fileName.size());
    *dirLength = static_cast<ub2>(l.directory.size());
    *nameLength = static_cast<ub2>(l.fileName.size());
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobFileExists(void* svchp, void* errhp, void* filep, int* flag) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    const LobHandle& l = fileLob(filep);
    const std::filesystem::path path = filePath(svc, l);
    std::error_code ec;
    if (!std::filesystem::is_directory(path.parent_path(), ec))
      throw OraError(22285, "non-existent directory or file for FILEEXISTS operation");
    *flag = std::filesystem::is_regular_file(path, ec) ? 1 : 0;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobFileOpen(void* svchp, void* errhp, void* filep, ub1 mode) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    auto& svc = need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& l = fileLob(filep);
    if (mode != 1) throw OraError(22288, "file or LOB operation FILEOPEN failed");
    std::ifstream in(filePath(svc, l), std::ios::binary);
    if (!in) throw OraError(22288, "file or LOB operation FILEOPEN failed");
    l.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    l.opened = true;
    return OCI_SUCCESS;
  });
}

OCI_EXPORT sword OCILobFileClose(void* svchp, void* errhp, void* filep) {
  return entry(errhp, [&](ErrorHandle*) -> sword {
    need<SvcHandle>(svchp, OCI_HTYPE_SVCCTX);
    LobHandle& l = fileLob(filep);
    l.opened = false;
    l.bytes.clear();
    return OCI_SUCCESS;
  });
}
