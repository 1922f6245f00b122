#include "rewrite/command.h"

namespace svfseg {

// Until RUNTEST rewriting lands, a RUN command is copied on unchanged.
void handleRunCommand(CommandContext &context) { context.output.write("RUN"); }

} // namespace svfseg
