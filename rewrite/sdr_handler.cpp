#include "rewrite/command.h"

namespace svfseg {

// Until long SDR splitting lands, an SDR command is copied on unchanged.
void handleSdrCommand(CommandContext &context) { context.output.write("SDR"); }

} // namespace svfseg
