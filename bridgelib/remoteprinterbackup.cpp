// RemotePrinter's backups: fetching one over the status connection into the
// backup folder, and pruning a printer's old backups.
#include "remoteprinter.h"
