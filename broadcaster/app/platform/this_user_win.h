// The Windows platform files of the application use the libraries' shared pieces.
#pragma once

#include "basis/platform/this_user.h"

namespace app::platform {

using basis::platform::EnvironmentValue;
using basis::platform::HandleKind;
using basis::platform::HasOtherNames;
using basis::platform::KindOf;
using basis::platform::OwnedByThisUser;
using basis::platform::OwnedHandle;
using basis::platform::PrivateSecurity;
using basis::platform::Reason;
using basis::platform::SystemErrorText;
using basis::platform::ThisUser;
using basis::platform::User;

}  // namespace app::platform
