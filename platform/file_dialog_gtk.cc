#include "platform/file_dialog_gtk.h"

#include <gtk/gtk.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef GDK_WINDOWING_X11
#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>

#include "platform/posix_file_names.h"

namespace sgsplit {
namespace {

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct GFree {
  void operator()(gchar* text) const { g_free(text); }
};
struct WidgetDestroy {
  void operator()(GtkWidget* widget) const { gtk_widget_destroy(widget); }
};

// Runs the main loop until every pending event is handled, so that a closed
// window is gone from the screen before the program goes on.
void DrainEvents() {
  while (gtk_events_pending() != FALSE) gtk_main_iteration();
}

#ifdef GDK_WINDOWING_X11
// The exit code the program ends with when its X display goes away under the
// message. The toolkit's own handler would end it with 1, which tells that
// nothing was done, whatever became of the model.
int lost_display_exit_code = 1;
int EndWithoutDisplay(Display*) { ::_exit(lost_display_exit_code); }
#endif

}  // namespace

void WriteLogLine(const std::string& line) {
  const std::string text = line + '\n';
  // A socket (the journal's stream) is asked not to wait for this one call.
  if (::send(STDERR_FILENO, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0 ||
      errno != ENOTSOCK)
    return;
  // Anything else is written a pipe's atomic size at a time, each only once
  // poll says it is taken without waiting; making the descriptor not wait
  // would change it for every process that shares it. A file is always ready.
  std::size_t done = 0;
  while (done < text.size()) {
    pollfd ready{STDERR_FILENO, POLLOUT, 0};
    if (::poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0) return;
    const ssize_t n = ::write(STDERR_FILENO, text.data() + done,
                              std::min<std::size_t>(text.size() - done, PIPE_BUF));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

ChooseResult GtkDialogPlatform::ChooseFile(std::u16string* path) {
  if (gtk_init_check(nullptr, nullptr) == FALSE) return ChooseResult::kFailed;

  std::unique_ptr<GtkFileChooserNative, GObjectUnref> dialog(gtk_file_chooser_native_new(
      "Choose OBJ file to edit", nullptr, GTK_FILE_CHOOSER_ACTION_OPEN, nullptr, nullptr));
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog.get());

  // A glob the portal understands too; it matches the extension in any case.
  GtkFileFilter* filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, "OBJ files (*.obj)");
  gtk_file_filter_add_pattern(filter, "*.[Oo][Bb][Jj]");
  gtk_file_chooser_add_filter(chooser, filter);  // the chooser takes the filter

  const gint response = gtk_native_dialog_run(GTK_NATIVE_DIALOG(dialog.get()));
  ChooseResult result = ChooseResult::kCancelled;
  if (response == GTK_RESPONSE_ACCEPT) {
    const std::unique_ptr<gchar, GFree> name(gtk_file_chooser_get_filename(chooser));
    if (name) {
      *path = WidenFileName(name.get());
      result = ChooseResult::kChosen;
    } else {
      result = ChooseResult::kFailed;  // a file with no local path
    }
  }
  dialog.reset();
  // Let the dialog's window go before the pass starts its work.
  DrainEvents();
  return result;
}

bool ShowErrorMessage(const std::string& headline, const std::string& details,
                      int exit_code_without_display) {
  if (gtk_init_check(nullptr, nullptr) == FALSE) return false;
#ifdef GDK_WINDOWING_X11
  if (GDK_IS_X11_DISPLAY(gdk_display_get_default())) {
    lost_display_exit_code = exit_code_without_display;
    XSetIOErrorHandler(EndWithoutDisplay);
  }
#endif
  {
    // The texts go in as arguments of "%s", never as formats or markup.
    const std::unique_ptr<GtkWidget, WidgetDestroy> message(gtk_message_dialog_new(
        nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", headline.c_str()));
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(message.get()), "%s",
                                             details.c_str());
    // The texts break inside a word too: a long name without blanks would
    // otherwise make the window wider than the screen, headline and all.
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(message.get()));
    GList* labels = gtk_container_get_children(GTK_CONTAINER(area));
    GtkWidget* details_label = nullptr;  // the last label
    for (GList* label = labels; label != nullptr; label = label->next)
      if (GTK_IS_LABEL(label->data)) {
        gtk_label_set_line_wrap_mode(GTK_LABEL(label->data), PANGO_WRAP_WORD_CHAR);
        details_label = GTK_WIDGET(label->data);
      }
    g_list_free(labels);
    // The details scroll where they would be taller than half the screen: a
    // long name would otherwise push the reason and the OK button off it.
    if (details_label != nullptr) {
      int max_height = 400;
      GdkDisplay* display = gdk_display_get_default();
      GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
      if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
      if (monitor != nullptr) {
        GdkRectangle workarea;
        gdk_monitor_get_workarea(monitor, &workarea);
        if (workarea.height > 0) max_height = workarea.height / 2;
      }
      GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
      gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_NEVER,
                                     GTK_POLICY_AUTOMATIC);
      gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(scrolled), TRUE);
      gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(scrolled), max_height);
      g_object_ref(details_label);
      gtk_container_remove(GTK_CONTAINER(area), details_label);
      gtk_container_add(GTK_CONTAINER(scrolled), details_label);
      g_object_unref(details_label);
      gtk_box_pack_start(GTK_BOX(area), scrolled, TRUE, TRUE, 0);
      gtk_widget_show_all(scrolled);
    }
    gtk_window_set_title(GTK_WINDOW(message.get()), "sgsplit");
    gtk_dialog_set_default_response(GTK_DIALOG(message.get()), GTK_RESPONSE_OK);
    gtk_dialog_run(GTK_DIALOG(message.get()));
  }
  DrainEvents();
  return true;
}

}  // namespace sgsplit
