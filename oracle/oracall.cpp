#include "oracle/oracall.h"

#include <filesystem>
#include <mutex>
#include <vector>

#include "oracle/oraerror.h"
#include "platform/dynlib.h"
#include "platform/oraclehome.h"

namespace oracle {

namespace {

template <class F>
struct Stub;
template <class R, class... A>
struct Stub<R (*)(A...)> {
  static R call(A...) { RaiseError("OCI function is not linked"); }
};

void* hOCILib = nullptr;
std::mutex initLock;

const std::string kLibraryName = "libclntsh.so";

// Binds `name` when the library exports it; the stub stays otherwise.
template <class F>
void bind(F& variable, const char* name) {
  if (void* address = platform::librarySymbol(hOCILib, name)) variable = reinterpret_cast<F>(address);
}

template <class F>
void unbind(F& variable) {
  variable = &Stub<F>::call;
}

void forEachLevel(bool binding) {
#define VELMARON_OCI_BIND_TYPED(name, result, args) \
  if (binding)                                      \
    bind(name, #name);                              \
  else                                              \
    unbind(name);
#define VELMARON_OCI_BIND_OTHER(name) \
  if (binding)                        \
    bind(name, #name);                \
  else                                \
    unbind(name);
  const bool oci7 = (PossibleOCICallStyles & osOCI7) != 0 || !binding;
  const bool oci8 = (PossibleOCICallStyles & osOCI8) != 0 || !binding;
  const bool oci81 = (PossibleOCICallStyles & osOCI81) != 0 || !binding;
  const bool oci90 = (PossibleOCICallStyles & osOCI90) != 0 || !binding;
  // The typed list mixes levels; each name is bound only when its level is offered.
  const auto typedLevel = [](const char* name) { return name[0] == 'O' ? osOCI8 : osOCI7; };
#define VELMARON_OCI_BIND_TYPED_LEVEL(name, result, args)                                                   \
  if (!binding)                                                                                             \
    unbind(name);                                                                                           \
  else if (std::string_view(#name) == "OCIEnvCreate" ? oci81 : (typedLevel(#name) == osOCI8 ? oci8 : oci7)) \
    bind(name, #name);
  VELMARON_OCI_TYPED(VELMARON_OCI_BIND_TYPED_LEVEL)
  if (oci7) {
    VELMARON_OCI7_OTHER(VELMARON_OCI_BIND_OTHER)
  }
  if (oci8) {
    VELMARON_OCI8_OTHER(VELMARON_OCI_BIND_OTHER)
    if (ObjectsEnabled || !binding) {
      VELMARON_OCI8_OBJECTS(VELMARON_OCI_BIND_OTHER)
    }
  }
  if (oci81) {
    VELMARON_OCI81_OTHER(VELMARON_OCI_BIND_OTHER)
  }
  if (oci90) {
    VELMARON_OCI90_TYPED(VELMARON_OCI_BIND_TYPED)
    VELMARON_OCI90_OTHER(VELMARON_OCI_BIND_OTHER)
  }
#undef VELMARON_OCI_BIND_TYPED_LEVEL
#undef VELMARON_OCI_BIND_TYPED
#undef VELMARON_OCI_BIND_OTHER
}

std::vector<long> versionNumbers(const std::string& text) {
  std::vector<long> numbers;
  size_t i = 0;
  while (i < text.size()) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) break;
    long n = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
      n = n * 10 + (text[i++] - '0');
    numbers.push_back(n);
    if (i < text.size() && text[i] == '.') ++i;
  }
  return numbers;
}

// The library file of a home: the highest versioned name in its lib folder, else the plain one.
std::string libraryOfHome(const std::string& home) {
  std::error_code ec;
  const std::filesystem::path lib = std::filesystem::path(home) / "lib";
  std::string best, bestVersion;
  for (const auto& entry : std::filesystem::directory_iterator(lib, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kLibraryName + ".", 0) != 0) continue;
    const std::string version = VersionOfLibraryName(name);
    if (version.empty()) continue;
    if (best.empty() || CompareVersions(version, bestVersion) > 0) {
      best = entry.path().string();
      bestVersion = version;
    }
  }
  if (!best.empty()) return best;
  if (std::filesystem::exists(lib / kLibraryName, ec)) return (lib / kLibraryName).string();
  return {};
}

[[noreturn]] void cannotFind(const std::string& what) {
  OCIDLL.clear();
  RaiseError("Cannot find OCI DLL: " + what);
}

void setLevels() {
  if (OCIVersionSt.empty()) cannotFind(OCIDLL);
  LevelsOfVersion(OCIVersionSt, OCIVersion, OCICallStyle, PossibleOCICallStyles);
}

}  // namespace

#define VELMARON_OCI_DEFINE_TYPED(name, result, args) name##_t name = &Stub<name##_t>::call;
VELMARON_OCI_TYPED(VELMARON_OCI_DEFINE_TYPED)
VELMARON_OCI90_TYPED(VELMARON_OCI_DEFINE_TYPED)
#undef VELMARON_OCI_DEFINE_TYPED
#define VELMARON_OCI_DEFINE_OTHER(name) OCIUntypedFunction name = &Stub<OCIUntypedFunction>::call;
VELMARON_OCI7_OTHER(VELMARON_OCI_DEFINE_OTHER)
VELMARON_OCI8_OTHER(VELMARON_OCI_DEFINE_OTHER)
VELMARON_OCI8_OBJECTS(VELMARON_OCI_DEFINE_OTHER)
VELMARON_OCI81_OTHER(VELMARON_OCI_DEFINE_OTHER)
VELMARON_OCI90_OTHER(VELMARON_OCI_DEFINE_OTHER)
#undef VELMARON_OCI_DEFINE_OTHER

std::string OCIDLL;
std::string OCIClientDLL;
std::string OCIVersionSt;
uint8_t OCIVersion = 0;
uint8_t OCICallStyle = 0;
uint8_t PossibleOCICallStyles = 0;
bool OCILite = false;
bool ObjectsEnabled = true;
bool OCIThreaded = true;
bool OCIMutexed = true;
bool OCIShared = false;
bool OCIEvents = false;
bool OCIInited = false;
void* hOCIEnv = nullptr;
std::atomic<uint32_t> OCIEnvironmentGeneration = 0;
void* hOCIError = nullptr;
std::string OracleHomes[MaxOracleHomes];
std::string OracleHomeNames[MaxOracleHomes];
int OracleHomeCount = 0;
int DefaultOracleHome = -1;
uint8_t OracleHomeIndex = 0;
std::string OracleHomePath;
bool OCI7Threaded = false;
OCIHomeSources HomeSources;

int CompareVersions(const std::string& a, const std::string& b) {
  const std::vector<long> x = versionNumbers(a), y = versionNumbers(b);
  for (size_t i = 0; i < std::max(x.size(), y.size()); ++i) {
    const long p = i < x.size() ? x[i] : 0, q = i < y.size() ? y[i] : 0;
    if (p != q) return p < q ? -1 : 1;
  }
  return 0;
}

void LevelsOfVersion(const std::string& versionText, uint8_t& version, uint8_t& style, uint8_t& possible) {
  const std::vector<long> n = versionNumbers(versionText);
  const long major = n.empty() ? 0 : n[0], minor = n.size() > 1 ? n[1] : 0;
  if (major == 7 && minor == 3) {
    possible = osOCI7;
    version = 1;
    style = OCI73;
    return;
  }
  if (major == 8) {
    possible = minor >= 1 ? osOCI7 | osOCI8 | osOCI81 : osOCI7 | osOCI8;
    version = minor >= 1 ? 3 : 2;
  } else if (major >= 9) {
    possible = osOCI7 | osOCI8 | osOCI81 | osOCI90;
    version = 4;
  } else {
    RaiseError("OCI version " + versionText + " is not supported");
  }
  if (style == 0) style = OCI80;
}

std::string VersionOfLibraryName(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  const std::string prefix = kLibraryName + ".";
  if (name.rfind(prefix, 0) != 0) return {};
  const std::string version = name.substr(prefix.size());
  return versionNumbers(version).empty() ? std::string() : version;
}

void DetectOCI() {
  for (int i = 0; i < MaxOracleHomes; ++i) {
    OracleHomes[i].clear();
    OracleHomeNames[i].clear();
  }
  OracleHomeCount = 0;
  DefaultOracleHome = -1;
  const std::string envHome = platform::environmentVariable("ORACLE_HOME").value_or("");
  if (!envHome.empty()) {
    OracleHomes[0] = envHome;
    OracleHomeNames[0] = "ORACLE_HOME";
    OracleHomeCount = 1;
  }
  for (const platform::OratabEntry& entry : platform::oratabEntries(HomeSources.oratabPath)) {
    if (OracleHomeCount == MaxOracleHomes) break;
    bool known = false;
    for (int i = 0; i < OracleHomeCount; ++i) known = known || OracleHomes[i] == entry.home;
    if (known) continue;
    OracleHomes[OracleHomeCount] = entry.home;
    OracleHomeNames[OracleHomeCount] = entry.sid;
    ++OracleHomeCount;
  }
  // Every slot is searched, so a home left empty before the default does not hide it.
  for (int i = 0; i < MaxOracleHomes && DefaultOracleHome < 0; ++i)
    if (!OracleHomes[i].empty()) DefaultOracleHome = i;

  if (!OCIDLL.empty()) {
    std::filesystem::path folder = std::filesystem::path(OCIDLL).parent_path();
    if (folder.filename() == "lib") folder = folder.parent_path();
    OracleHomePath = folder.string();
  } else {
    const bool chosen = OracleHomeIndex > 0;
    if (chosen) {
      const int n = OracleHomeIndex - 1;
      OracleHomePath = n < MaxOracleHomes ? OracleHomes[n] : std::string();
      if (OracleHomePath.empty()) cannotFind("in Home" + std::to_string(n));
    } else {
      OracleHomePath = DefaultOracleHome >= 0 ? OracleHomes[DefaultOracleHome] : std::string();
    }
    while (OracleHomePath.size() > 1 && OracleHomePath.back() == '/') OracleHomePath.pop_back();
    if (OracleHomePath.empty()) {
      OCIDLL = kLibraryName;
    } else {
      OCIDLL = libraryOfHome(OracleHomePath);
      if (OCIDLL.empty()) {
        if (chosen) cannotFind(OracleHomePath + "/lib/" + kLibraryName + "*");
        OCIDLL = kLibraryName;
      }
    }
  }
  OCILite = false;
  OCIClientDLL.clear();
  OCIVersionSt.clear();
  if (OCIDLL.find('/') != std::string::npos) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(OCIDLL, ec);
    OCIVersionSt = VersionOfLibraryName(OCIDLL);
    if (OCIVersionSt.empty() && !ec) OCIVersionSt = VersionOfLibraryName(real.string());
    setLevels();
  }
}

bool OCILoaded() {
  return hOCILib != nullptr;
}

void LoadOCI() {
  DetectOCI();
  std::string reason;
  hOCILib = platform::openLibrary(OCIDLL, reason);
  if (hOCILib == nullptr) {
    const std::string path = OCIDLL;
    OCIDLL.clear();
    RaiseError("Cannot load OCI DLL: " + path);
  }
  if (OCIVersionSt.empty()) {
    // Found by name on the library path: the file behind it tells the version.
    OCIVersionSt = VersionOfLibraryName(platform::libraryFilePath(hOCILib));
    try {
      setLevels();
    } catch (...) {
      platform::closeLibrary(hOCILib);
      hOCILib = nullptr;
      throw;
    }
  }
  forEachLevel(true);
}

void OCIFinish() {
  if ((PossibleOCICallStyles & osOCI8) != 0) {
    if (hOCIError != nullptr) OCIHandleFree(hOCIError, OCI_HTYPE_ERROR);
    if (hOCIEnv != nullptr) OCIHandleFree(hOCIEnv, OCI_HTYPE_ENV);
  }
  hOCIError = nullptr;
  hOCIEnv = nullptr;
  ++OCIEnvironmentGeneration;
  OCIInited = false;
}

void FreeOCI() {
  std::lock_guard<std::mutex> guard(initLock);
  if (OCIInited) OCIFinish();
  forEachLevel(false);
  platform::closeLibrary(hOCILib);
  hOCILib = nullptr;
  OCIDLL.clear();
  OCIClientDLL.clear();
  OCIVersionSt.clear();
  OCIVersion = 0;
  OCICallStyle = 0;
  PossibleOCICallStyles = 0;
  OracleHomePath.clear();
}

void OCIInit() {
  std::lock_guard<std::mutex> guard(initLock);
  if (OCIInited) return;
  if (!OCILoaded()) LoadOCI();
  if ((PossibleOCICallStyles & osOCI8) != 0) {
    ub4 mode = OCI_OBJECT;
    if (OCIThreaded && CompareVersions(OCIVersionSt, "8.0.4.0.0") > 0) mode |= OCI_THREADED;
    if (OCIShared && CompareVersions(OCIVersionSt, "8.1.4.0.0") >= 0) mode |= OCI_SHARED;
    if (OCIEvents && CompareVersions(OCIVersionSt, "8.1.4.0.0") >= 0) mode |= OCI_EVENTS;
    sword status;
    if ((PossibleOCICallStyles & osOCI81) != 0) {
      if (OCIThreaded && !OCIMutexed) mode |= OCI_NO_MUTEX;
      status = OCIEnvCreate(&hOCIEnv, mode, nullptr, nullptr, nullptr, nullptr, 0, nullptr);
    } else {
      status = OCIInitialize(mode, nullptr, nullptr, nullptr, nullptr);
      const ub4 envMode = OCIThreaded && !OCIMutexed && CompareVersions(OCIVersionSt, "8.1.4.0.0") <= 0
                              ? OCI_ENV_NO_MUTEX
                              : 0;
      if (status == OCI_SUCCESS) status = OCIEnvInit(&hOCIEnv, envMode, 0, nullptr);
    }
    if (status == OCI_SUCCESS) status = OCIHandleAlloc(hOCIEnv, &hOCIError, OCI_HTYPE_ERROR, 0, nullptr);
    if (status != OCI_SUCCESS) RaiseError("Can't initialize OCI. Error " + std::to_string(status));
    OCIInited = true;
  }
  // A client without the old call level keeps the stub; its set-up is then not needed.
  if ((PossibleOCICallStyles & osOCI7) != 0 && opinit != &Stub<opinit_t>::call) {
    if (OCIThreaded) InitOCI7(OCIThreaded);
    OCIInited = true;
  }
}

void CheckOCI80() {
  if (OCICallStyle != OCI80) RaiseError("Need Oracle 8 Call Interface");
}

void CheckOCI81() {
  if ((PossibleOCICallStyles & osOCI81) == 0) RaiseError("Need Oracle 8i Call Interface");
}

void CheckOCI90() {
  if ((PossibleOCICallStyles & osOCI90) == 0) RaiseError("Need Oracle 9 Call Interface");
}

void InitOCI7(bool threaded) {
  if ((PossibleOCICallStyles & osOCI7) == 0) return;
  OCI7Threaded = threaded;
  opinit(0);
}

}  // namespace oracle
