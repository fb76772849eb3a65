// Stand-in for the restore state until the backup services are built.
#include "pending/backup_later_pending.h"

long get_restore_file_id(void) {
    return 0;
}
