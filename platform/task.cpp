#include "platform/task.h"

#include "platform/winmsg.h"

namespace mg {

void AwaitTurn() { WaitMessages(); }

}  // namespace mg
