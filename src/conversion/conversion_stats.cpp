#include "conversion/conversion_stats.h"

namespace rureza {

ConversionStats& ProcessConversionStats() {
  static ConversionStats stats;
  return stats;
}

}  // namespace rureza
