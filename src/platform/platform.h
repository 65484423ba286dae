// The one door to the operating system. Everything outside src/platform
// reaches files, sockets, ICMP, the spooler, the port device and the clock
// only through these functions; posix/ and win32/ each implement all of them
// in files of the same names. Error numbers are taken here, at the point of
// failure, and handed up as the plain number the messages print.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace plat {

// Called first in main. On POSIX it makes sure descriptors 0-2 are open (so
// no socket or device ever gets descriptor 0, which the run-wide slots use as
// "none") and ignores SIGPIPE; on Windows there is nothing to do.
void init();

// The number of the last failed file, device or process call of this thread
// (GetLastError() on Windows, errno on POSIX).
int last_error();

// ---- Read-only mapping of a whole file ------------------------------------

// A read-only view of a whole file. The handles are the platform's own, kept
// opaque; -1 means "invalid" for both.
struct FileView {
    const unsigned char* base = nullptr;
    std::uint32_t size = 0;
    std::intptr_t file = -1;
    std::intptr_t mapping = -1;
};

enum MapResult { map_ok = 0, map_failed = 1, map_too_large = 2 };

// Opens path for reading (others may read too), maps all of it read-only and
// fills view. map_failed when it cannot be opened, mapped or viewed (an empty
// file cannot be mapped); map_too_large for 4 GiB or more, which a 32-bit size
// cannot describe. On failure nothing stays open and view holds no handle.
int map_file(const char* path, FileView* view);

// Releases what map_file obtained; safe on a view that holds nothing.
void unmap_file(FileView* view);

// ---- Files and directories ------------------------------------------------

using FileHandle = std::intptr_t;
constexpr FileHandle invalid_file = -1;

// True when anything of that name exists: a file, a directory, a link.
bool path_exists(const char* path);

enum DirResult { dir_created = 0, dir_exists = 1, dir_failed = 2 };

// Creates one directory (default permissions). dir_exists when the name is
// already taken, by a directory or by anything else.
int make_directory(const char* path);

// Creates path for writing, replacing an existing file, not shared with
// other openers where the platform can say so. invalid_file on failure.
FileHandle create_output_file(const char* path);

// Writes the whole buffer in one request (POSIX goes on after a short write
// until all is written or a call fails). Returns 0 and the count written, or
// 1 when a call failed (the count then says how much did get written).
int write_file(FileHandle file, const void* data, std::uint32_t length, std::uint32_t* written);

// write_file of length bytes of view from offset on. Windows writes them
// from the view in one request, as write_file does; POSIX has the kernel copy
// them from the view's file (splice through a pipe of its own, sendfile for
// what is short), going on after short copies, and writes from the view
// wherever the kernel refuses. Results and error numbers as for write_file.
int write_file_from_view(FileHandle file, const FileView* view, std::uint32_t offset, std::uint32_t length,
                         std::uint32_t* written);

void close_file(FileHandle file);

// ---- Tools (holm-pack's signing) ------------------------------------------

// Runs the program argv[0], found along PATH, to its end: input on its
// standard input (a password, never on its command line), its standard
// output and error together into *output. Its exit status, 128 plus the
// signal that ended it, or -1 when it could not be started (*output then
// says why).
int run_tool(const std::vector<std::string>& argv, const std::string& input, std::string* output);

// The name under which a tool reads its standard input as a file.
std::string standard_input_name();

// ---- Time ------------------------------------------------------------------

// Sleeps (alertably where the platform has the notion).
void sleep_ms(std::uint32_t ms);

// A clock that only moves forward, in milliseconds.
std::uint64_t monotonic_ms();

// ---- Sockets (IPv4 TCP) --------------------------------------------------

// 0 means "no socket" everywhere above this layer.
using Socket = std::intptr_t;

// Starts the socket library (WinSock 1.1 on Windows); 0 on success.
int net_start();
// Shuts the socket library down; harmless when it was never started.
void net_stop();
// The error number of the last failed socket call (WSAGetLastError(), errno).
int net_error();

constexpr std::uint32_t address_none = 0xFFFFFFFFu;

// inet_addr semantics: the address in network byte order, or address_none.
std::uint32_t parse_ipv4(const char* text);
// Name lookup; the first IPv4 address of the answer, or address_none.
std::uint32_t lookup_ipv4(const char* name);

// A new TCP stream socket, or 0 when none can be created.
Socket tcp_socket();
// Connects to address (network byte order) and port; 0 when connected.
int tcp_connect(Socket socket, std::uint32_t address, std::uint16_t port);
// One send call; the count sent, or -1 on error. Never raises a signal.
int sock_send(Socket socket, const void* data, int length);
// sock_send of length bytes of view from offset on. POSIX sends them
// straight from the view's file (sendfile) and from the view where the kernel
// refuses; Windows sends from the view. Never raises a signal once init has
// run.
int sock_send_from_view(Socket socket, const FileView* view, std::uint32_t offset, int length);
// One receive call; the count read, 0 when the peer has closed, -1 on error
// (a receive time-out included).
int sock_recv(Socket socket, void* buffer, int length);
// Sets the per-read receive time-out; the result is not reported.
void sock_set_recv_timeout(Socket socket, std::uint32_t ms);
// Sets the send time-out: a send call that moved no byte when ms ran out
// fails (-1, and net_timed_out() tells so); on POSIX one that moved some
// returns their count then, which may be ms or more after they went. The
// result is not reported.
void sock_set_send_timeout(Socket socket, std::uint32_t ms);
// Whether a socket whose send timed out may be sent on again: so on POSIX;
// on Windows its state is then undefined and the send must end there.
bool send_resumes_after_timeout();
// True when the last failed socket call of this thread failed because its
// time-out ran out.
bool net_timed_out();
// Ends the sending direction (SD_SEND, SHUT_WR); 0 on success.
int sock_shutdown_send(Socket socket);
void sock_close(Socket socket);

// ---- ICMP echo -----------------------------------------------------------

// Opens the echo service. 0 on success; Windows: 1 ICMP.DLL not loadable,
// 2 an entry point missing, 3 IcmpCreateFile failed; POSIX: 1 when no ICMP
// socket (ping or raw) can be opened.
int echo_open();

// Sends one echo request (one data byte 'x', TTL 64) to address and waits up
// to timeout_ms for its reply. 0 when the printer answered with a successful
// echo reply; 1 for no reply, an error or an unreachable report.
int echo_send(std::uint32_t address, std::uint32_t timeout_ms);

// ---- Port device ---------------------------------------------------------

using Device = std::intptr_t;  // 0 = none

// Opens an existing port device by its DOS name ("LPT1"; on POSIX LPTn is
// /dev/lp(n-1)) for reading and writing, unshared. 0 when it cannot be opened.
Device open_device(const char* name);
// One write request of the whole buffer; 0 on success, 1 when it failed.
int write_device(Device device, const void* data, std::uint32_t length);
void close_device(Device device);

// ---- Print spooler -------------------------------------------------------

using Printer = std::intptr_t;  // 0 = none

// The steps of one raw job, in the spooler's own order; each returns 0 on
// success and 1 on failure. A printer handle must be closed by spool_close.
Printer spool_open(const char* printer_name);
int spool_start_doc(Printer printer, const char* doc_name, const char* data_type);
int spool_start_page(Printer printer);
int spool_write(Printer printer, const void* data, std::uint32_t length, std::uint32_t* written);
int spool_end_page(Printer printer);
int spool_end_doc(Printer printer);
void spool_close(Printer printer);

// ---- Folder walks (holm-pack) -------------------------------------------

enum class FileKind { file, folder, link, other };

// What a name met on a folder walk stands for, a link not followed (the
// library's own answer follows links and junctions on Windows, and a
// junction to a folder above would make a walk endless). other: a device,
// FIFO or socket, or a name that cannot be examined.
FileKind file_kind(const std::filesystem::path& path);

// ---- Many programs at once (holm-fleet) ---------------------------------
// holm-fleet runs Linux bundles and is built for POSIX systems only: this
// section has no win32 side.

// Blocks INT, TERM and CHLD in the calling thread, so that they are only
// ever taken in wait_events (threads started afterwards inherit the mask),
// and ignores HUP for this process and every program it starts: a run
// outlives the terminal or ssh session it was started from, as under
// nohup. 0, or the error number of the failed call.
int supervise_start();

// What start_program needs; the lists end with a null pointer.
struct ProgramStart {
    const char* path;           // the program file, run as it is (no PATH search)
    char* const* argv;
    char* const* envp;          // the program's whole environment
    const char* stdout_path;    // created or truncated, mode 0666 less the umask
    const char* stderr_path;    // the same; null: stderr goes where stdout goes
};

// Starts a program with standard input from /dev/null, in this process's
// group, with every signal at its default but HUP (still ignored) and an
// empty signal mask, and nothing of this process open in it but its three
// standard descriptors. Its standard output holds a lock on stdout_path
// for as long as the program (or anything it leaves running with that
// descriptor) lives, even past this process's own end: output_in_use
// tells. 0 and its process id, or the error number (a file that cannot be
// created or a program that cannot be run included).
int start_program(const ProgramStart& start, int* pid);

// Whether a program started with this stdout_path, by this process or by
// an earlier one, still runs. False when there is no such file.
bool output_in_use(const std::string& stdout_path);

// How a program ended.
struct Ended {
    int pid;
    int exit_status;  // when it exited, else 0
    int signal;       // the signal that ended it, else 0
};

enum class StopRequest { none, interrupt, terminate };

// Waits up to timeout_ms (negative: without limit) for programs to end, a
// stop signal (INT, TERM) or the wake-up (wake_post). Appends every program
// that has ended to ended (reaped), and sets *stop when a stop signal came.
// Returns early on any of them.
void wait_events(int timeout_ms, std::vector<Ended>& ended, StopRequest* stop);

// The first stop signal taken so far, by wait_events or here; it looks at
// those pending without waiting. For the steps before the loop.
StopRequest stop_asked();

// Waits up to ms; false when a stop signal came (at once if one was asked
// before).
bool pause_unless_stopped(int ms);

// Reads all of standard input; 0, -1 when a stop signal came first, or the
// error number.
int read_standard_input(std::string* text);

// Copies the file from to a new file to (mode 0700), a piece at a time;
// 0, -1 when a stop signal came first (to is removed then), or the error
// number.
int copy_file_unless_stopped(const std::string& from, const std::string& to);

// Opens the wake-up that wait_events watches; 0, or an error number.
int wake_open();
// Ends the current or next wait_events; callable from any thread.
void wake_post();

// Asks a program to end (TERM), or ends it (KILL).
void stop_program(int pid);
void kill_program(int pid);

// Whether this process may read, and run, the file at path.
bool may_read(const std::string& path);
bool may_run(const std::string& path);
bool may_write(const std::string& path);

// The program that a command name stands for along PATH, or empty.
std::string find_program(const std::string& name);

// The current environment, one NAME=value a string.
std::vector<std::string> environment();

// ---- Limits, and the machine --------------------------------------------

constexpr long unlimited = -1;

// Raises the soft limit to the hard one; the soft limit then (unlimited
// for none). Open files, and processes of this user.
long raise_open_file_limit();
long raise_process_limit();
bool is_superuser();
// Threads of this user, and of the whole system, now; -1 when unknown.
long user_tasks();
long system_tasks();
// kernel.pid_max, or -1 when unknown.
long process_id_limit();
// How many more tasks (processes and threads) the control groups this
// process is in let it start: the least room of pids.max over pids.current
// along its cgroup's path; unlimited when none limits it.
long cgroup_task_room();

// True when standard error is a terminal.
bool stderr_is_terminal();
// This machine's name, or empty.
std::string host_name();

// ---- Records that survive the machine ------------------------------------

// Writes text whole to path: a new file, flushed to the disk, renamed over
// path, and the folder flushed, so that a crash leaves the old file or the
// new one, never a torn or empty one. 0, or the error number.
int write_durably(const std::string& path, const std::string& text);
// Flushes everything written to the file system that holds path; 0, or the
// error number.
int flush_file_system(const std::string& path);

// Holds a lock on path (created if need be; closed to the programs this
// process starts) for the rest of this process: true, or false when
// another process holds it.
bool hold_lock(const std::string& path);

// ---- Names --------------------------------------------------------------

// Looks up every name of the list at once, IPv4 only, for ms at most:
// addresses[i] is a dotted IPv4 address, or empty and problems[i] says why
// (no such name, no IPv4 address, the time ran out, a stop signal came).
// A dotted address is taken as it is, without a lookup.
void resolve_ipv4(const std::vector<std::string>& names, int ms, std::vector<std::string>& addresses,
                  std::vector<std::string>& problems);

// ---- Private folders ------------------------------------------------------

// Makes a new folder holm-fleet.XXXXXX in base, readable by its owner only;
// 0 and its path, or the error number.
int make_private_folder(const std::string& base, std::string* path);
// True when programs may not be run from the file system that holds path
// (mounted noexec).
bool is_noexec(const std::string& path);

}  // namespace plat
