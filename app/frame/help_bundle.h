// The help file "ravelin.chm" compiled into the program (resource folder
// ":/help/ravelin.chm"); its pages live in app/frame/help/ravelin.chm/.
#pragma once

namespace ravelin {

// Makes the compiled-in bundle available. The frame library is static, so
// its resources must be registered by hand once; calling it again is harmless.
void InitHelpBundle();

}  // namespace ravelin
