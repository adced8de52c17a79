// The definition writer: appends the definition text of the objects chosen in the tree to SQL
// files in the root's output folder, one file per root-level kind (the kind name + ".sql"), one
// for the owners' own definitions ("Users.sql") and one per owner and kind (owner + "_" + the kind
// name + ".sql"), in tree order.
//
// Owners of different names never share a file, though the file-name rule (SafeFileNamePart) or a
// file system that ignores the case of ASCII letters may give their names one: the owner whose
// name stands unchanged in its file names keeps them (else the first in tree order), and each
// other one gets "_" + the first number from 2 after its name that gives files no other owner of
// the tree has or would have, in any case of its letters. This depends on the tree alone,
// not on what is chosen. Owners of one name are one user and share their files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dumpfile/dumpworker.h"
#include "dumpfile/u_formatdumpfile.h"

namespace dumpfile {

inline constexpr std::string_view kSaveObjDdlDone = "Successfully save object DDL!";
inline constexpr std::string_view kSaveObjDdlError = "Save Object DDL error!";

// A name from a dump made fit to be part of a file name in one folder: "/", "\" and control
// characters become "_", so do leading dots, and the name is cut to `maxBytes` bytes (never
// inside a UTF-8 sequence).
std::string SafeFileNamePart(std::string_view name, size_t maxBytes);

// The file that root-level definitions of `kind` go to (kKindUsers, the owners' own definitions:
// "Users.sql"), and the one that definitions of `kind` of the owner `owner` go to when no owner of
// another name would share it. An owner's file is never a root-level one, whatever its name.
std::string DefinitionFileName(const std::string& outputDir, uint8_t kind);
std::string DefinitionFileName(const std::string& outputDir, std::string_view owner, uint8_t kind);

// The file a single chosen object's definition goes to, a name of its own so that no file of its
// kind is replaced by it: the owner (when it has one), "_", the object's name, ".sql".
std::string ObjectDefinitionFileName(const std::string& outputDir, const TExpFileUser* owner,
                                     const TExpFileNode& node);

// The files a run writes (and so replaces or removes), each once, in the order it writes them:
// those of `onlyNode` when given, else those the flags choose. The window asks before any of them
// that exists is replaced.
std::vector<std::string> DefinitionFiles(const TExpFileRoot& root, const TExpFileNode* onlyNode = nullptr);

// Writes the chosen definitions. The root's KindSelected flags choose root-level kinds (kKindUsers:
// the owners' own definitions), each owner's flags that owner's kinds. Every file the run writes
// replaces the file of its name, and one it finds no definition for is removed, so a second run
// gives the same files. Each definition is the script of the statements in its range of the
// root's file (DdlScript), with line breaks made carriage return plus line feed. Objects without
// a range (start -1 or length 0) or without a statement add nothing. The run ends with the message
// "Successfully save object DDL!"; a range that cannot be read ends it with "Read " + object +
// " from " + file + " error!", a file that cannot be removed with "Delete " + file + " error!",
// any other failure (a file that cannot be made or written, a full disk) with "Save Object DDL
// error!" and its cause. The files are written one after another, each whole on the disk before
// it takes its name: a run that fails or is cancelled leaves each file it finished as the new one
// and every other file as it was before the run; one that dies part way leaves each file either
// as it was or whole and new (and its temporary file beside it, which a later writer of that file
// removes). A cancelled run leaves no message of its own.
class TSaveObjDDl final : public DumpWorker {
 public:
  TSaveObjDDl(TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone);
  ~TSaveObjDDl() override;

  // Writes only `node`, a node of the root, whatever the flags say: an object to a file of its own
  // (ObjectDefinitionFileName; when that is the name of a file of a kind of the tree, in any case
  // of its letters, "_" + the first free number from 2 comes before ".sql"), an owner to
  // "Users.sql". Before the run only.
  void SetOnlyNode(const TExpFileNode* node) { onlyNode_ = node; }

 protected:
  void Run() override;
  std::string FailureMessage() const override { return std::string(kSaveObjDdlError); }

 private:
  const TExpFileNode* onlyNode_ = nullptr;
};

// Chooses every root-level kind and every kind of every owner, as Export DDL on the whole dump does.
void SelectAllKinds(TExpFileRoot& root);

}  // namespace dumpfile
