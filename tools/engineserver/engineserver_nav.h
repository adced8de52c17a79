// The loopback server's answers to the key, range, find, bookmark and positioning requests, and
// the seek to the position that positioned requests carry.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "engine/tables/veldorcursor.h"

namespace engineserver {

using RequestParams = std::vector<std::span<const uint8_t>>;

// What the answers need of the server's session: its cursors by handle (an unknown handle
// raises), and a new cursor taken in under a fresh handle.
struct NavSession {
  std::function<engine::TDataCursor&(uint32_t)> cursor;
  std::function<uint32_t(std::unique_ptr<engine::TDataCursor>)> adopt;
};

// Puts the cursor of a positioned request where the client's cursor stands (the handle, key and
// end flags of its first four parameters); nothing for a request that carries no position.
void seekRequestPosition(uint16_t code, const RequestParams& params, const NavSession& session);

// Serves `code` into `reply`; false when the code is not one of these requests. Malformed
// parameters raise VELDOR_REMOTEINVREQUEST.
bool serveNavigation(uint16_t code, const RequestParams& params, const NavSession& session,
                     engine::TCursorRequest& reply);

}  // namespace engineserver
