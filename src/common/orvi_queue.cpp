// A failed receive records the machine's state on flash. The records are
// appended under a size cap and at most once a minute, so a queue that keeps
// failing cannot wear out or fill the data partition.
#include "orvi_queue.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_system.h"

namespace {

constexpr size_t kDiagLogCap = 256 * 1024;
constexpr uint64_t kDiagIntervalMs = 60 * 1000;
constexpr unsigned kDiagCmdTimeoutMs = 10 * 1000;

// Monotonic time of the last recorded diagnostics; 0: never.
std::atomic<uint64_t> g_last_diag_ms{0};

bool diag_due() {
    uint64_t now = orvi_port_monotonic_ms();
    uint64_t last = g_last_diag_ms.load();
    if (last != 0 && now - last < kDiagIntervalMs) return false;
    // One failing thread records; a second one failing at the same moment skips.
    return g_last_diag_ms.compare_exchange_strong(last, now == 0 ? 1 : now);
}

std::string command_output(const char *cmd) {
    std::string out;
    orvi_run_opts o;
    o.out = &out;
    o.out_limit = 64 * 1024;
    o.timeout_ms = kDiagCmdTimeoutMs;
    orvi_port_run_shell(cmd, o);
    return out;
}

// Appends the output of "date" and of `cmd` to the board log file `log`.
void append_command_log(const char *cmd, const char *log) {
    std::string text = command_output("date");
    text += command_output(cmd);
    std::string dir = orvi_path("/data/domivault/logs");
    ::mkdir(dir.c_str(), 0755);
    if (!orvi_port_append_capped(orvi_path(log), text, kDiagLogCap)) ORVI_LOGW("%s open fail!", log);
}

}  // namespace

void orvi_queue_init(void) {
    std::string dir = orvi_path(ORVI_QUEUE_PATH);
    if (orvi_port_exists(dir)) orvi_executeCommand_nonret("rm -rf " + dir);
    std::string cmd = "echo 163840 > " + orvi_path("/proc/sys/kernel/msgmnb");
    orvi_plain_write("%s\n", cmd.c_str());
    if (orvi_executeCommand_nonret(cmd) != 0)
        ORVI_LOGW("%s failed, the queue byte limit stays at the kernel default", cmd.c_str());
}

int orvi_queue_create(const char *path, int proj_id) {
    ORVI_CHECK_ARG(path, -1);
    std::string dir = orvi_path(path);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        ORVI_LOGW("'%s' is not exist!", path);
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            ORVI_LOGW("create '%s' path is fail!", path);
            return -1;
        }
    } else if (::access(dir.c_str(), R_OK | W_OK) != 0) {
        ORVI_LOGW("'%s' has insufficient permissions!", path);
        return -1;
    }
    key_t key = ::ftok(dir.c_str(), proj_id);
    int id = -1;
    if (key != -1) {
        id = ::msgget(key, IPC_CREAT | IPC_EXCL | 0600);
        if (id < 0 && errno == EEXIST) {
            // Left by an earlier run of the daemon: its messages (and the
            // pointers in them) mean nothing to this process.
            int stale = ::msgget(key, 0);
            if (stale >= 0 && ::msgctl(stale, IPC_RMID, nullptr) == 0)
                ORVI_LOGW("%s queue %d was left by an earlier run, removed", path, stale);
            id = ::msgget(key, IPC_CREAT | IPC_EXCL | 0600);
        }
    }
    if (id < 0) {
        ORVI_LOGW("%s queue is fail! key %d is existing", path, static_cast<int>(key));
        return -1;
    }
    struct msqid_ds ds {};
    ::msgctl(id, IPC_STAT, &ds);
    ORVI_LOGI("%s queue is success! queue_id : %d", path, id);
    return id;
}

int orvi_queue_send(int id, const orvi_msgbuf_t *msg, size_t size, int flags) {
    ORVI_CHECK_ARG(msg && size <= ORVI_QUEUE_MSG_SIZE, -1);
    int rc;
    do {
        rc = ::msgsnd(id, msg, size, flags);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        ORVI_LOGW("id %d queue send is fail! The possible cause is that the queue is full", id);
        return -1;
    }
    return 0;
}

ssize_t orvi_queue_recv(int id, orvi_msgbuf_t *msg, size_t size, int flags) {
    ORVI_CHECK_ARG(msg && size <= ORVI_QUEUE_MSG_SIZE, -1);
    if (id == -1) {
        ORVI_LOGI("orvi master control queue id is -1,maybe initialization is not complete");
        return -1;
    }
    ssize_t n;
    do {
        n = ::msgrcv(id, msg, size, 0, flags);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return n;
    const int err = errno;
    if (err == ENOMSG && (flags & IPC_NOWAIT)) return -1;

    const bool record = diag_due();
    if (record) {
        append_command_log("top -b -n 1", "/data/domivault/logs/top.log");
        append_command_log("ipcs -q", "/data/domivault/logs/ipcs.log");
    }
    ORVI_LOGW("id %d queue recv is fail!", id);
    ORVI_LOGW("Error type: %s , code:%d", strerror(err), err);
    if (record) {
        std::string rec = "Error type: " + std::string(strerror(err)) + " , code:" + std::to_string(err);
        orvi_record_log("/data/domivault/data/error.log", rec.c_str(), rec.size());
        orvi_system_env_save();
    }
    if (!(flags & IPC_NOWAIT)) ORVI_LOGW("orvi_queue_recv failed,maybe the queue is error.");
    errno = err;
    return -1;
}

int orvi_queue_delete(int id) {
    return ::msgctl(id, IPC_RMID, nullptr) == 0 ? 0 : -1;
}

void orvi_queue_diag_rearm(void) {
    g_last_diag_ms.store(0);
}
