#ifndef ZELTERM_SAPDIR_H
#define ZELTERM_SAPDIR_H

#include "zelterm.h"

namespace zelterm {

Directory sap_directory();

} // namespace zelterm

#endif
