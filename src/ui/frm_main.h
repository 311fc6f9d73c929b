// The hidden main window: it hosts the monitor timer and, on a refused
// machine, shows the refusal message.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace rz {

struct Ctx;

FormDesign frmMAIN_Design();
// Creates the window, hidden, the first time it is needed; throws Failure
// when the platform cannot create it.
void frmMAIN_Load(Ctx& c);
void TimerMONITORVESK_SetEnabled(Ctx& c, bool enabled);
void TimerMONITORVESK_SetInterval(Ctx& c, std::uint32_t intervalMs);
void LBLMSG_SetCaption(Ctx& c, const std::string& text);
void frmMAIN_Show(Ctx& c);
void LBLMSG_Refresh(Ctx& c);

}  // namespace rz
