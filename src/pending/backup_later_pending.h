// Hooks into the backup and restore services that the host status document
// reads. Stand-ins (backup_later_pending.cpp) until those services land and
// replace this header.
#pragma once

// The file id of the restore under way (0 when none).
long get_restore_file_id(void);
