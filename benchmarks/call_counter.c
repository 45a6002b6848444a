/* Counts what one run of a program asks over D-Bus and when it grabs
 * pictures, for benchmarks/observe_profile.py. Loaded with LD_PRELOAD; it
 * wraps GDBus's method calls (asynchronous and blocking), what the program
 * sends and reads on the applications' private connections, GMainContext
 * creation, the Composite redirection and XShmGetImage, and when the
 * program ends through _exit writes to $LARKSPIRE_CALL_COUNTS, one fact a
 * line, tab-separated:
 *
 *   call    <interface.Method, or "Properties.Get interface.Property">    <count>
 *   objects <objects whose role was read>   <objects read more than once>
 *   contexts <main contexts made (one per batch of calls over GDBus)>
 *   peerbatches <batches of calls sent on private connections, then read>
 *   capture <ms from start to the redirection, 0 when none> <ms of each grab...>
 *   exit    <ms from start to _exit>
 *
 * The application's private connection carries almost every call of an
 * observe, and dbus-monitor cannot see a private connection: hence this. */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <dbus/dbus.h>
#include <dlfcn.h>
#include <gio/gio.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_GRABS 64

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static GHashTable *calls, *roles;  /* key -> count */
static long contexts, peer_batches;
static int sending; /* calls were sent on a private connection and not yet read */
static double started, redirected, grabs[MAX_GRABS];
static int grab_count;

static double now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

__attribute__((constructor)) static void begin(void) { started = now_ms(); }

static void bump(GHashTable *table, const char *key) {
  g_hash_table_insert(table, g_strdup(key), GINT_TO_POINTER(GPOINTER_TO_INT(g_hash_table_lookup(table, key)) + 1));
}

static void count(const char *path, const char *method, const char *key) {
  pthread_mutex_lock(&lock);
  if (!calls) {
    calls = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
    roles = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
  }
  bump(calls, key);
  if (path && !strcmp(method, "GetRole")) bump(roles, path);
  pthread_mutex_unlock(&lock);
}

static void note(const char *path, const char *interface, const char *method, GVariant *parameters) {
  char key[256];
  if (!strcmp(method, "Get") && parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ss)"))) {
    const char *i = NULL, *p = NULL;
    g_variant_get(parameters, "(&s&s)", &i, &p);
    snprintf(key, sizeof key, "Properties.Get %s.%s", i, p);
  } else {
    snprintf(key, sizeof key, "%s.%s", interface ? interface : "?", method);
  }
  count(path, method, key);
}

#define REAL(name) static __typeof__(name) *real; if (!real) real = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)

void g_dbus_connection_call(GDBusConnection *c, const gchar *bus, const gchar *path, const gchar *interface,
                            const gchar *method, GVariant *parameters, const GVariantType *reply,
                            GDBusCallFlags flags, gint timeout, GCancellable *cancellable,
                            GAsyncReadyCallback callback, gpointer data) {
  REAL(g_dbus_connection_call);
  note(path, interface, method, parameters);
  real(c, bus, path, interface, method, parameters, reply, flags, timeout, cancellable, callback, data);
}

GVariant *g_dbus_connection_call_sync(GDBusConnection *c, const gchar *bus, const gchar *path,
                                      const gchar *interface, const gchar *method, GVariant *parameters,
                                      const GVariantType *reply, GDBusCallFlags flags, gint timeout,
                                      GCancellable *cancellable, GError **error) {
  REAL(g_dbus_connection_call_sync);
  note(path, interface, method, parameters);
  return real(c, bus, path, interface, method, parameters, reply, flags, timeout, cancellable, error);
}

/* The private connections' calls are written by the program itself, a batch
 * at a time (non-blocking sends): they are read back out of what it sends.
 * A batch the socket takes in several sends may cut a call in two; the
 * start waits for the rest. The handshake's lines before them are not
 * messages. */
static GHashTable *unfinished; /* fd -> GByteArray */

static int message_start(const char *bytes, size_t length) {
  return length >= 4 && (bytes[0] == 'l' || bytes[0] == 'B') && bytes[1] >= 1 && bytes[1] <= 4 && bytes[3] == 1;
}

static void note_sent(int fd, const char *bytes, size_t length) {
  pthread_mutex_lock(&lock);
  if (!unfinished) unfinished = g_hash_table_new_full(g_direct_hash, g_direct_equal, NULL, (GDestroyNotify)g_byte_array_unref);
  GByteArray *pending = g_hash_table_lookup(unfinished, GINT_TO_POINTER(fd));
  if (!pending) {
    pending = g_byte_array_new();
    g_hash_table_insert(unfinished, GINT_TO_POINTER(fd), pending);
  }
  if (pending->len == 0 && !message_start(bytes, length)) {
    pthread_mutex_unlock(&lock);
    return;
  }
  g_byte_array_append(pending, (const guint8 *)bytes, (guint)length);
  pthread_mutex_unlock(&lock);
  for (;;) {
    int needed = pending->len >= 16 ? dbus_message_demarshal_bytes_needed((const char *)pending->data, (int)pending->len) : 0;
    if (needed <= 0 || (guint)needed > pending->len) break;
    DBusMessage *message = dbus_message_demarshal((const char *)pending->data, needed, NULL);
    g_byte_array_remove_range(pending, 0, (guint)needed);
    if (!message) continue;
    if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL) {
      const char *path = dbus_message_get_path(message), *interface = dbus_message_get_interface(message);
      const char *method = dbus_message_get_member(message), *i = NULL, *p = NULL;
      char key[256];
      if (!strcmp(method, "Get") &&
          dbus_message_get_args(message, NULL, DBUS_TYPE_STRING, &i, DBUS_TYPE_STRING, &p, DBUS_TYPE_INVALID))
        snprintf(key, sizeof key, "Properties.Get %s.%s", i, p);
      else
        snprintf(key, sizeof key, "%s.%s", interface ? interface : "?", method);
      count(path, method, key);
      __atomic_store_n(&sending, 1, __ATOMIC_RELAXED);
    }
    dbus_message_unref(message);
  }
}

ssize_t send(int fd, const void *buffer, size_t length, int flags) {
  REAL(send);
  ssize_t sent = real(fd, buffer, length, flags);
  if (sent > 0 && (flags & MSG_DONTWAIT)) note_sent(fd, buffer, (size_t)sent);
  return sent;
}

/* The first read after calls were sent ends their batch. */
ssize_t recv(int fd, void *buffer, size_t length, int flags) {
  REAL(recv);
  if (__atomic_exchange_n(&sending, 0, __ATOMIC_RELAXED)) __atomic_add_fetch(&peer_batches, 1, __ATOMIC_RELAXED);
  return real(fd, buffer, length, flags);
}

GMainContext *g_main_context_new(void) {
  REAL(g_main_context_new);
  __atomic_add_fetch(&contexts, 1, __ATOMIC_RELAXED);
  return real();
}

void XCompositeRedirectSubwindows(Display *display, Window window, int update) {
  REAL(XCompositeRedirectSubwindows);
  redirected = now_ms() - started;
  real(display, window, update);
}

/* The capture redirects only a window the screen does not show whole. */
void XCompositeRedirectWindow(Display *display, Window window, int update) {
  REAL(XCompositeRedirectWindow);
  redirected = now_ms() - started;
  real(display, window, update);
}

Bool XShmGetImage(Display *display, Drawable drawable, XImage *image, int x, int y, unsigned long planes) {
  REAL(XShmGetImage);
  if (grab_count < MAX_GRABS) grabs[grab_count++] = now_ms() - started;
  return real(display, drawable, image, x, y, planes);
}

static void report(void) {
  const char *path = getenv("LARKSPIRE_CALL_COUNTS");
  FILE *f = path ? fopen(path, "w") : NULL;
  if (!f) return;
  pthread_mutex_lock(&lock);
  GHashTableIter it;
  gpointer key, value;
  int again = 0;
  if (calls) {
    g_hash_table_iter_init(&it, calls);
    while (g_hash_table_iter_next(&it, &key, &value)) fprintf(f, "call\t%s\t%d\n", (char *)key, GPOINTER_TO_INT(value));
    g_hash_table_iter_init(&it, roles);
    while (g_hash_table_iter_next(&it, &key, &value)) again += GPOINTER_TO_INT(value) > 1;
  }
  fprintf(f, "objects\t%u\t%d\n", roles ? g_hash_table_size(roles) : 0u, again);
  fprintf(f, "contexts\t%ld\n", contexts);
  fprintf(f, "peerbatches\t%ld\n", peer_batches);
  fprintf(f, "capture\t%.1f", redirected);
  for (int i = 0; i < grab_count; ++i) fprintf(f, "\t%.1f", grabs[i]);
  fprintf(f, "\nexit\t%.1f\n", now_ms() - started);
  pthread_mutex_unlock(&lock);
  fclose(f);
}

void _exit(int status) {
  REAL(_exit);
  report();
  real(status);
  abort();  /* not reached: for the compiler, which cannot know real ends */
}
