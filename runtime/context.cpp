#include "runtime/context.h"

namespace nrt {

Context context;

}  // namespace nrt
