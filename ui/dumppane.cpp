#include "ui/dumppane.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <filesystem>
#include <system_error>
#include <vector>

#include "dumpfile/u_analysisfile.h"
#include "dumpfile/u_saveobjddl.h"
#include "tasks/u_common.h"
#include "ui/services.h"
#include "ui/u_getdumpfileheader.h"
#include "ui/u_progress.h"
#include "ui/windowtext.h"

namespace ui {

namespace {

// What a node of the dump tree stands for.
enum NodeRole { kRoleType = Qt::UserRole, kRoleNode, kRoleKind, kRoleOwner };
enum NodeType { kTopNode, kPublicGroup, kOwnerNode, kOwnerGroup, kObjectNode };

// True when both paths name one existing file, or are spelled alike.
bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec, ecA, ecB;
  if (std::filesystem::equivalent(a, b, ec)) return true;
  const auto pathA = std::filesystem::weakly_canonical(a, ecA),
             pathB = std::filesystem::weakly_canonical(b, ecB);
  return !ecA && !ecB && pathA == pathB;
}

}  // namespace

DumpPane::DumpPane(QWidget* window, const DumpActions& actions) : window_(window), actions_(actions) {
  BuildPages();
  connect(actions_.AcOpendumpfile, &QAction::triggered, this, &DumpPane::OpenDumpFile);
  connect(actions_.AcSavetofile, &QAction::triggered, this, &DumpPane::SaveAnalysisFile);
  connect(actions_.AcClearDumpfile, &QAction::triggered, this, &DumpPane::ClearView);
  connect(actions_.AcExportDDL, &QAction::triggered, this, &DumpPane::ExportDDL);
  Tvdumpfile->setContextMenuPolicy(Qt::ActionsContextMenu);
  Tvdumpfile->addActions(
      {actions_.AcOpendumpfile, actions_.AcSavetofile, actions_.AcClearDumpfile, actions_.AcExportDDL});
  connect(Tvdumpfile, &QTreeWidget::currentItemChanged, this, &DumpPane::TvdumpfileChange);

  Frmprogress = std::make_unique<TFrmprogress>(window_);
  Frm_getdumpfileheader = std::make_unique<TFrm_getdumpfileheader>(
      lastDumpDir_,
      [this](const std::string& dump, const std::string& dir) { SaveDumpFileHeader(dump, dir); }, window_);
  UpdateActions();
}

DumpPane::~DumpPane() = default;

void DumpPane::BuildPages() {
  Tsanalyze = new QWidget;
  Tsanalyze->setObjectName("Tsanalyze");
  Tvdumpfile = new QTreeWidget(Tsanalyze);
  Tvdumpfile->setObjectName("Tvdumpfile");
  Tvdumpfile->setHeaderHidden(true);
  (new QVBoxLayout(Tsanalyze))->addWidget(Tvdumpfile);

  TsDDlText = new QWidget;
  TsDDlText->setObjectName("TsDDlText");
  MmDDlText = new QPlainTextEdit;
  MmDDlText->setObjectName("MmDDlText");
  MmDDlText->setReadOnly(true);
  (new QVBoxLayout(TsDDlText))->addWidget(MmDDlText);
}

void DumpPane::SetActive(bool active) {
  active_ = active;
  UpdateActions();
}

void DumpPane::UpdateActions() {
  actions_.AcOpendumpfile->setEnabled(active_);
  actions_.AcSavetofile->setEnabled(active_ && root_ && root_->SourceKind() == dumpfile::kSourceDumpFile);
  actions_.AcClearDumpfile->setEnabled(active_ && root_);
  actions_.AcExportDDL->setEnabled(active_ && root_);
}

void DumpPane::ClearView() {
  Tvdumpfile->clear();
  MmDDlText->clear();
  root_.reset();
  UpdateActions();
}

void DumpPane::OpenDumpFile() {
  const QString last = toQString(lastDumpDir_);
  const QString start = !last.isEmpty() && QDir(last).exists() ? last : QString();
  const QString file = Services().files->openFile(
      window_, start, QStringLiteral("dump file,analyzed dump file(*.dmp *.adf);;All files(*)"));
  if (file.isEmpty()) return;
  lastDumpDir_ = (QFileInfo(file).absolutePath() + "/").toStdString();
  OpenDumpOrAnalysisFile(file.toStdString());
}

void DumpPane::OpenDumpOrAnalysisFile(const std::string& path) {
  if (dumpfile::IsAnalysisFile(path)) {
    ClearView();
    root_ = std::make_unique<dumpfile::TExpFileRoot>();
    root_->SetDumpFileName(path);
    root_->SetSourceKind(dumpfile::kSourceAnalysisFile);
    root_->SetMessage("Read successfully!");
    RunWorker(
        [&](dumpfile::ProgressSink* sink, dumpfile::DumpWorker::DoneCallback done) {
          return std::make_unique<dumpfile::TReaddfp>(*root_, sink, std::move(done));
        },
        QStringLiteral("Reading..."), 0);
    BuildTree();
    return;
  }
  tasks::TDumpHeader header;
  if (!tasks::ReadDumpHeader(path, header)) {
    Services().messages->error(window_, QStringLiteral("Can not analyze this file!"));
    return;
  }
  if (!header.isExport && !Services().messages->question(
                              window_, QStringLiteral("It seems not a valid dmp file,continue to analyze?")))
    return;
  ClearView();
  root_ = std::make_unique<dumpfile::TExpFileRoot>();
  root_->SetDumpFileName(path);
  root_->SetExportUser(header.user);
  root_->SetExportModeText(header.mode);
  root_->SetExportVersion(header.version);
  root_->SetNlsLang(header.charset);
  const QString mode = toQString(header.mode).toLower();
  int exportMode = 0;
  if (mode.contains("entire")) exportMode = 1;
  if (mode.contains("user")) exportMode = 2;
  if (mode.contains("table")) exportMode = 3;
  root_->SetExportMode(exportMode);
  root_->SetSourceKind(dumpfile::kSourceDumpFile);
  root_->SetMessage("Read successfully!");
  RunWorker(
      [&](dumpfile::ProgressSink* sink, dumpfile::DumpWorker::DoneCallback done) {
        return std::make_unique<dumpfile::TParseDumpfile>(*root_, sink, std::move(done));
      },
      QStringLiteral("Analyzing..."), 0);
  BuildTree();
}

void DumpPane::RunWorker(const WorkerFactory& make, const QString& label, int position) {
  // The completion callback handed to the worker belongs to the job that Prepare starts.
  Frmprogress->Prepare(label, position, *root_);
  std::unique_ptr<dumpfile::DumpWorker> worker = make(&Frmprogress->Sink(), Frmprogress->DoneCallback());
  Frmprogress->SetWorker(worker.get());
  worker->Start();
  Services().dialogs->run(*Frmprogress);
  worker->WaitFor();
  Frmprogress->SetWorker(nullptr);
  UpdateActions();
}

void DumpPane::BuildTree() {
  dumpfile::TExpFileRoot& root = *root_;
  root.SetName(root.DumpFileName());
  root.SetText("NLS_LANG: " + root.NlsLang() + "\r\n" + root.ExportVersion() + "\r\n" +
               "EXPORT USER: " + root.ExportUser() + "\r\n" + "EXPORT MODE: " + root.ExportModeText());
  Tvdumpfile->clear();
  const QStyle* style = window_->style();
  const QIcon fileIcon = style->standardIcon(QStyle::SP_FileIcon);
  const QIcon groupIcon = style->standardIcon(QStyle::SP_DirIcon);
  const QIcon objectIcon = style->standardIcon(QStyle::SP_FileDialogDetailedView);
  auto item = [](QTreeWidgetItem* parent, const QString& caption, const QIcon& icon, NodeType type) {
    auto* node = new QTreeWidgetItem(parent, {caption});
    node->setIcon(0, icon);
    node->setData(0, kRoleType, int(type));
    return node;
  };
  auto* top = new QTreeWidgetItem(Tvdumpfile, {toQString(std::string(root.Name()))});
  top->setIcon(0, fileIcon);
  top->setData(0, kRoleType, int(kTopNode));
  auto groupCaption = [](int kind, int32_t count) {
    return toQString(std::string(dumpfile::KindName[size_t(kind)])) + "(" + QString::number(count) + ")";
  };
  for (int kind = 0; kind < dumpfile::kKindCount; ++kind) {
    if (root.PublicCounter(kind) <= 0) continue;
    QTreeWidgetItem* group = item(top, groupCaption(kind, root.PublicCounter(kind)), groupIcon, kPublicGroup);
    group->setData(0, kRoleKind, kind);
    dumpfile::TExpFileNode* node = nullptr;
    for (int i = 0; root.GetPublicObject(i, node); ++i) {
      if (node->Kind() != kind) continue;
      item(group, toQString(std::string(node->Name())), objectIcon, kObjectNode)
          ->setData(0, kRoleNode, QVariant::fromValue<void*>(node));
    }
  }
  dumpfile::TExpFileUser* owner = nullptr;
  for (int u = 0; root.GetUser(u, owner); ++u) {
    QTreeWidgetItem* ownerItem = item(top, toQString(std::string(owner->Name())), groupIcon, kOwnerNode);
    ownerItem->setData(0, kRoleNode, QVariant::fromValue<void*>(owner));
    ownerItem->setData(0, kRoleOwner, QVariant::fromValue<void*>(owner));
    for (int kind = 0; kind < dumpfile::kKindCount; ++kind) {
      if (owner->Counter(kind) <= 0) continue;
      QTreeWidgetItem* group =
          item(ownerItem, groupCaption(kind, owner->Counter(kind)), groupIcon, kOwnerGroup);
      group->setData(0, kRoleKind, kind);
      group->setData(0, kRoleOwner, QVariant::fromValue<void*>(owner));
      dumpfile::TExpFileNode* node = nullptr;
      for (int i = 0; owner->GetNode(i, node); ++i) {
        if (node->Kind() != kind) continue;
        item(group, toQString(std::string(node->Name())), objectIcon, kObjectNode)
            ->setData(0, kRoleNode, QVariant::fromValue<void*>(node));
      }
    }
  }
  top->setExpanded(true);
  Tvdumpfile->setCurrentItem(top);
  UpdateActions();
}

void DumpPane::TvdumpfileChange() {
  MmDDlText->clear();
  QTreeWidgetItem* item = Tvdumpfile->currentItem();
  if (!item || !root_) return;
  try {
    if (item->data(0, kRoleType).toInt() == kTopNode) {
      MmDDlText->setPlainText(displayText(tasks::NormalizeLineBreaks(root_->Text())));
      return;
    }
    const auto* node = static_cast<const dumpfile::TExpFileNode*>(item->data(0, kRoleNode).value<void*>());
    if (!node) return;
    std::string text;
    if (dumpfile::ReadDumpText(root_->DumpFileName(), node->StartOffset(), text, node->Length()))
      MmDDlText->setPlainText(displayText(tasks::NormalizeLineBreaks(text), root_->NlsLang()));
  } catch (const std::exception& e) {
    Services().messages->error(window_,
                               QStringLiteral("Extract DDL Error (%1)").arg(QString::fromUtf8(e.what())));
  }
}

bool DumpPane::RefuseOverDump(const std::string& target, const std::string& source) {
  if (!sameFile(target, source)) return false;
  Services().messages->error(window_, "Can not write over the dump file itself: " + toQString(target));
  return true;
}

void DumpPane::SaveAnalysisFile() {
  if (!root_) return;
  if (root_->Incomplete() &&
      !Services().messages->question(window_,
                                     QStringLiteral("The reading of this dump is incomplete: the analysis "
                                                    "file would hold only what was read. Save it anyway?")))
    return;
  const QString file = Services().files->saveFile(window_, toQString(lastDumpDir_),
                                                  QStringLiteral("Analyzed dump file (*.adf);;All files(*)"),
                                                  QStringLiteral("adf"));
  if (file.isEmpty() || RefuseOverDump(file.toStdString(), root_->DumpFileName())) return;
  // The writer replaces an existing file only once the new one is complete, so a failed save
  // keeps the old one.
  root_->SetMessage("Save successfully!");
  RunWorker(
      [&](dumpfile::ProgressSink* sink, dumpfile::DumpWorker::DoneCallback done) {
        return std::make_unique<dumpfile::TSavedfp>(file.toStdString(), *root_, sink, std::move(done));
      },
      QStringLiteral("Writing..."), 1);
}

void DumpPane::ExportDDL() {
  QTreeWidgetItem* item = Tvdumpfile->currentItem();
  if (!item || !root_) return;
  const QString folder = Services().files->chooseFolder(window_, QString());
  if (folder.isEmpty()) return;
  root_->SetOutputDir(folder.toStdString());
  if (!QFileInfo(folder).isDir()) {
    Services().messages->error(window_, "Directory not exists: " + folder);
    return;
  }
  root_->KindSelected.fill(false);
  dumpfile::TExpFileUser* owner = nullptr;
  for (int u = 0; root_->GetUser(u, owner); ++u) owner->KindSelected.fill(false);
  const int kind = item->data(0, kRoleKind).toInt();
  auto* marked = static_cast<dumpfile::TExpFileUser*>(item->data(0, kRoleOwner).value<void*>());
  switch (NodeType(item->data(0, kRoleType).toInt())) {
    case kTopNode:
      dumpfile::SelectAllKinds(*root_);
      break;
    case kPublicGroup:
      root_->KindSelected[size_t(kind)] = true;
      break;
    case kOwnerNode:
      marked->KindSelected.fill(true);
      break;
    case kOwnerGroup:
      marked->KindSelected[size_t(kind)] = true;
      break;
    case kObjectNode:
      break;
  }
  // A single object: its own definition, in the file of its kind.
  const auto* only = NodeType(item->data(0, kRoleType).toInt()) == kObjectNode
                         ? static_cast<const dumpfile::TExpFileNode*>(item->data(0, kRoleNode).value<void*>())
                         : nullptr;
  // The run replaces every file it writes: one that exists is replaced only when the user agrees.
  // Names from the dump need not be UTF-8, so the files are looked for by their bytes, not by
  // what a QString makes of them.
  const std::vector<std::string> files = dumpfile::DefinitionFiles(*root_, only);
  for (const std::string& file : files)
    if (RefuseOverDump(file, root_->DumpFileName())) return;
  QStringList existing;
  for (const std::string& file : files) {
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(file, ec))) existing << toQString(file);
  }
  if (!existing.isEmpty() &&
      !Services().messages->question(window_, QStringLiteral("These files exist and will be replaced:\n") +
                                                  existing.join("\n") + QStringLiteral("\nReplace them?")))
    return;
  root_->SetMessage("Save successfully!");
  RunWorker(
      [&](dumpfile::ProgressSink* sink, dumpfile::DumpWorker::DoneCallback done) {
        auto writer = std::make_unique<dumpfile::TSaveObjDDl>(*root_, sink, std::move(done));
        writer->SetOnlyNode(only);
        return writer;
      },
      QStringLiteral("Writing..."), 1);
}

void DumpPane::ShowHeaderDialog() {
  Frm_getdumpfileheader->Reset();
  Services().dialogs->run(*Frm_getdumpfileheader);
}

void DumpPane::SaveDumpFileHeader(const std::string& dumpFile, const std::string& targetDir) {
  const QString dump = toQString(dumpFile);
  if (QFileInfo(dump).isDir()) {
    Services().messages->error(window_, "File: " + dump + "\nis a folder, not a dump file!");
    return;
  }
  if (!QFileInfo(dump).isFile()) {
    Services().messages->error(window_, "File: " + dump + "\ndoes not exists!");
    return;
  }
  std::string bytes;
  if (!tasks::ReadDumpHeaderBytes(dumpFile, bytes)) {
    Services().messages->error(window_, "File: " + dump + "\nopen error!");
    return;
  }
  const std::string target = targetDir + tasks::DumpHeaderFileName(dumpFile);
  if (RefuseOverDump(target, dumpFile)) return;
  if (!tasks::WriteDumpHeaderFile(target, bytes)) {
    Services().messages->error(window_, "File: " + toQString(target) + "\nsave error!");
    return;
  }
  Services().messages->information(window_, "File: " + toQString(target) + " created!");
}

}  // namespace ui
