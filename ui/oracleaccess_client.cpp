#include <stdexcept>

#include "ui/oracleaccess.h"

namespace ui {

namespace {

// Until the Oracle client's query component is in, a link can log on to nothing.
class UnavailableLink final : public OracleLink {
 public:
  void Connect(const OracleLogin&, const std::string&) override {
    throw std::runtime_error("The Oracle client's query component is not built yet.");
  }
  void Disconnect() override {}
  bool Connected() const override { return false; }
  std::vector<std::string> Column(const std::string&, const std::string&, const Params&) override {
    throw std::runtime_error("Not connected");
  }
};

}  // namespace

std::unique_ptr<OracleLink> NewOracleClientLink() {
  return std::make_unique<UnavailableLink>();
}

}  // namespace ui
