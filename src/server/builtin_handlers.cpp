#include "server/server_state.h"
#include "zelkit/server.h"
#include "zelkit/system.h"

namespace zelkit {

namespace {

constexpr uint32_t CMD_REGISTER = 0xFF000C31;
constexpr uint32_t CMD_REGISTER_STATE = 0xFF000C30;
constexpr uint32_t CMD_LOGIN_CHALLENGE = 0xFF050C30;
constexpr uint32_t CMD_CONNECT_PRIMITIVE = 0xFF0C0C31;
constexpr uint32_t CMD_DISCONNECT_PRIMITIVE_MESSAGE = 0xFF0D0031;
constexpr uint32_t CMD_DISCONNECT_PRIMITIVE = 0xFF0D0C31;
constexpr uint32_t CMD_STREAM_LIST = 0xFFC10C30;
constexpr uint32_t CMD_KEEP_ALIVE = 0xFFC20830;
constexpr int KEEP_ALIVE_TICK_MS = 4000;

}  // namespace

void ZelServer::registerBuiltInHandlers() {
  registerCallback(CMD_REGISTER, registerAtServer);
  registerCallback(CMD_REGISTER_STATE, onLoginState);
  registerCallback(CMD_LOGIN_CHALLENGE, onChallenge);
  registerCallback(CMD_CONNECT_PRIMITIVE, onConnectPrimitive);
  registerCallback(CMD_DISCONNECT_PRIMITIVE_MESSAGE, onDisconnectPrimitive);
  registerCallback(CMD_DISCONNECT_PRIMITIVE, onDisconnectPrimitive);
  registerCallback(CMD_STREAM_LIST, onListStreams);
  registerCallback(CMD_KEEP_ALIVE, onKeepAlive);
  // One countdown for the process: a later server takes over the timer of
  // an earlier one instead of adding a second tick.
  ZelOutputStream noPayload;
  System::setTimer(KEEP_ALIVE_TICK_MS, KEEP_ALIVE_TICK_MS, onKeepAliveTimer, &detail::serverState(), noPayload);
}

}  // namespace zelkit
