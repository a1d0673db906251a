#include "app/frame/help_bundle.h"

#include <QtCore/qglobal.h>
#include <QDir>

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitHelpBundleResource() { Q_INIT_RESOURCE(help_bundle); }

namespace ravelin {

void InitHelpBundle() { InitHelpBundleResource(); }

}  // namespace ravelin
