// The card's baseline: a bare GTK 4 window with one label and one button,
// undecorated as the card is, that stays until it is ended.
#include <gtk/gtk.h>

int main() {
  if (!gtk_init_check()) return 1;
  GtkWidget* window = gtk_window_new();
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_box_append(GTK_BOX(box), gtk_label_new("Preparing…"));
  gtk_box_append(GTK_BOX(box), gtk_button_new_with_label("Cancel"));
  gtk_window_set_child(GTK_WINDOW(window), box);
  gtk_window_present(GTK_WINDOW(window));
  while (true) g_main_context_iteration(nullptr, TRUE);
}
