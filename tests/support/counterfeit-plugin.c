/* A counterfeit USB stick for nbdkit's cc plugin: the drive says it holds
 * `size` bytes, its flash holds only the first `kept` of them.
 *
 *   nbdkit cc counterfeit-plugin.c size=64M kept=24M mode=lose|wrap
 *
 * mode=lose   what is written at or past `kept` is dropped; reading there
 *             gives zeros (a controller that acknowledges writes it cannot
 *             store);
 * mode=wrap   every offset is taken modulo `kept`, so writing past it
 *             overwrites what was written earlier at the same place (a
 *             controller that ignores the high address bits).
 *
 * Write-zeroes and trim requests go through the same translation as writes:
 * in the kept range they zero (and give the pages back), past it they are lost
 * with mode=lose and land on the wrapped place with mode=wrap. Writes reach
 * the "flash" at once, so a flush has nothing left to do and FUA is native.
 *
 * Only `kept` bytes of address space are reserved, and the kernel hands out
 * pages as they are written, so a large kept size costs what is written.
 */

#include <inttypes.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

/* Requests are independent and the lock below makes each one atomic against
 * the others, which matters with mode=wrap, where two addresses share one
 * place; the rate filter in front may then sleep in several threads at once. */
#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

enum mode { MODE_UNSET, MODE_LOSE, MODE_WRAP };

static int64_t reported_size = -1;
static int64_t kept_size = -1;
static enum mode mode = MODE_UNSET;

static char *flash;
static size_t page_size;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

/* What went where, for the debug line at the end (nbdkit -v). */
static uint64_t bytes_lost;
static uint64_t bytes_wrapped;

static int
counterfeit_config (const char *key, const char *value)
{
  if (strcmp (key, "size") == 0) {
    reported_size = nbdkit_parse_size (value);
    return reported_size == -1 ? -1 : 0;
  }
  if (strcmp (key, "kept") == 0) {
    kept_size = nbdkit_parse_size (value);
    return kept_size == -1 ? -1 : 0;
  }
  if (strcmp (key, "mode") == 0) {
    if (strcmp (value, "lose") == 0)
      mode = MODE_LOSE;
    else if (strcmp (value, "wrap") == 0)
      mode = MODE_WRAP;
    else {
      nbdkit_error ("mode must be lose or wrap, not %s", value);
      return -1;
    }
    return 0;
  }
  nbdkit_error ("unknown parameter %s", key);
  return -1;
}

static int
counterfeit_config_complete (void)
{
  if (reported_size <= 0 || kept_size <= 0 || mode == MODE_UNSET) {
    nbdkit_error ("size, kept and mode are all needed");
    return -1;
  }
  if (kept_size > reported_size) {
    nbdkit_error ("kept (%" PRIi64 ") is larger than size (%" PRIi64 ")",
                  kept_size, reported_size);
    return -1;
  }
  /* Sector-sized pieces, as flash has: a wrapped sector is never split. */
  if (kept_size % 512 != 0 || reported_size % 512 != 0) {
    nbdkit_error ("size and kept must be multiples of 512");
    return -1;
  }
  return 0;
}

static int
counterfeit_get_ready (void)
{
  page_size = (size_t) sysconf (_SC_PAGESIZE);
  /* Nothing is committed until written; MAP_NORESERVE keeps a large kept
   * size from counting against the memory overcommit limit up front. */
  flash = mmap (NULL, (size_t) kept_size, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (flash == MAP_FAILED) {
    nbdkit_error ("cannot reserve %" PRIi64 " bytes: %m", kept_size);
    flash = NULL;
    return -1;
  }
  return 0;
}

static void
counterfeit_unload (void)
{
  if (flash) {
    nbdkit_debug ("counterfeit: %" PRIu64 " bytes lost, %" PRIu64
                  " bytes wrapped onto earlier data",
                  bytes_lost, bytes_wrapped);
    munmap (flash, (size_t) kept_size);
  }
}

static void *
counterfeit_open (int readonly)
{
  (void) readonly;
  return NBDKIT_HANDLE_NOT_NEEDED;
}

static int64_t
counterfeit_get_size (void *handle)
{
  (void) handle;
  return reported_size;
}

/* The controller's view of the request [offset, offset + remaining): the
 * length of its first piece that maps to one contiguous place, and that
 * place in *where, or -1 when the piece is lost. */
static uint64_t
translate (uint64_t offset, uint64_t remaining, int64_t *where)
{
  const uint64_t kept = (uint64_t) kept_size;
  uint64_t place;

  if (mode == MODE_LOSE) {
    if (offset >= kept) {
      *where = -1;
      return remaining;
    }
    place = offset;
  }
  else
    place = offset % kept;
  *where = (int64_t) place;
  return remaining < kept - place ? remaining : kept - place;
}

/* Zeros at [place, place + length) of the flash; whole pages go back to the
 * kernel, which then reads them as zeros again. */
static void
zero_flash (uint64_t place, uint64_t length)
{
  const uint64_t end = place + length;
  const uint64_t first_page = (place + page_size - 1) / page_size * page_size;
  const uint64_t last_page = end / page_size * page_size;

  if (first_page >= last_page) {
    memset (flash + place, 0, length);
    return;
  }
  memset (flash + place, 0, first_page - place);
  if (madvise (flash + first_page, last_page - first_page, MADV_DONTNEED) != 0)
    memset (flash + first_page, 0, last_page - first_page);
  memset (flash + last_page, 0, end - last_page);
}

/* Counts where written bytes went; called with the lock held. */
static void
account (uint64_t offset, uint64_t length, int64_t where)
{
  if (where < 0)
    bytes_lost += length;
  else if (offset >= (uint64_t) kept_size)
    bytes_wrapped += length;
}

static int
counterfeit_pread (void *handle, void *buf, uint32_t count, uint64_t offset,
                   uint32_t flags)
{
  char *out = buf;
  uint64_t done = 0;

  (void) handle;
  (void) flags;
  pthread_mutex_lock (&lock);
  while (done < count) {
    int64_t where;
    const uint64_t length = translate (offset + done, count - done, &where);

    if (where < 0)
      memset (out + done, 0, length);
    else
      memcpy (out + done, flash + where, length);
    done += length;
  }
  pthread_mutex_unlock (&lock);
  return 0;
}

static int
counterfeit_pwrite (void *handle, const void *buf, uint32_t count,
                    uint64_t offset, uint32_t flags)
{
  const char *in = buf;
  uint64_t done = 0;

  (void) handle;
  (void) flags; /* FUA: the write is on the flash when memcpy returns. */
  pthread_mutex_lock (&lock);
  while (done < count) {
    int64_t where;
    const uint64_t length = translate (offset + done, count - done, &where);

    if (where >= 0)
      memcpy (flash + where, in + done, length);
    account (offset + done, length, where);
    done += length;
  }
  pthread_mutex_unlock (&lock);
  return 0;
}

/* Write-zeroes and trim alike: the kept range reads zeros afterwards, which
 * is what mkfs relies on when it discards the drive or zeroes its tables. */
static int
counterfeit_zero (void *handle, uint32_t count, uint64_t offset,
                  uint32_t flags)
{
  uint64_t done = 0;

  (void) handle;
  (void) flags; /* MAY_TRIM, FAST_ZERO and FUA: zeroing memory is all three. */
  pthread_mutex_lock (&lock);
  while (done < count) {
    int64_t where;
    const uint64_t length = translate (offset + done, count - done, &where);

    if (where >= 0)
      zero_flash ((uint64_t) where, length);
    account (offset + done, length, where);
    done += length;
  }
  pthread_mutex_unlock (&lock);
  return 0;
}

static int
counterfeit_trim (void *handle, uint32_t count, uint64_t offset,
                  uint32_t flags)
{
  return counterfeit_zero (handle, count, offset, flags);
}

static int
counterfeit_flush (void *handle, uint32_t flags)
{
  (void) handle;
  (void) flags;
  return 0;
}

static int
counterfeit_yes (void *handle)
{
  (void) handle;
  return 1;
}

static int
counterfeit_can_fua (void *handle)
{
  (void) handle;
  return NBDKIT_FUA_NATIVE;
}

static struct nbdkit_plugin plugin = {
  .name              = "counterfeit",
  .version           = "1",
  .config            = counterfeit_config,
  .config_complete   = counterfeit_config_complete,
  .config_help       = "size=<SIZE> kept=<SIZE> mode=lose|wrap",
  .get_ready         = counterfeit_get_ready,
  .unload            = counterfeit_unload,
  .open              = counterfeit_open,
  .get_size          = counterfeit_get_size,
  .can_write         = counterfeit_yes,
  .can_flush         = counterfeit_yes,
  .can_trim          = counterfeit_yes,
  .can_zero          = counterfeit_yes,
  .can_fast_zero     = counterfeit_yes,
  .can_fua           = counterfeit_can_fua,
  /* One process holds the flash for every connection, and a flush has
   * nothing to do, so what one connection wrote any other reads at once. */
  .can_multi_conn    = counterfeit_yes,
  .pread             = counterfeit_pread,
  .pwrite            = counterfeit_pwrite,
  .flush             = counterfeit_flush,
  .trim              = counterfeit_trim,
  .zero              = counterfeit_zero,
  .errno_is_preserved = 1,
};

NBDKIT_REGISTER_PLUGIN (plugin)
