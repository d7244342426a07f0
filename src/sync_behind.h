// sync_behind.h - making the result's data durable while the run goes on.
//
// fsync (FlushFileBuffers on Windows) is the only call that promises data
// is on the disk, and it waits for all of it. On a virtual machine the
// disk's own cache is the host's, and its flush takes as long as the data
// written since the last one, however early the writing started: a single
// sync at the end of a large file then costs as much as the rest of the
// run. So once a result passes a few megabytes, a helper thread syncs what
// has been written so far while the copy goes on, and the final sync has
// only the last stretch left; a small file starts no thread.
//
// One file at a time. Nothing here changes what success means: the commit
// still ends with its own sync, and any sync the helper saw fail makes the
// commit fail, since Linux reports a lost write to each open file only
// once.
#ifndef MORVET_SYNC_BEHIND_H
#define MORVET_SYNC_BEHIND_H

#include <cstddef>

#include "platform.h"

// Counts length more bytes written to the temporary file, and every few
// megabytes asks for what was written so far to be synced in the
// background, starting the helper on the first request. Returns at once. A
// system that cannot start a thread gets no helper: the final sync then
// does all the work, as it would anyway.
void sync_behind_written(temporary_file *temporary, std::size_t length);

// Waits until the helper, if there is one, has finished its current sync
// and ended; it starts none of those asked for but not yet begun. False,
// with *error the reason, when a sync it made failed. Safe to call when no
// helper runs.
bool sync_behind_stop(system_error *error);

#endif
