#include "GtkBackedControl.h"

void GtkBackedControl::setState(int state) {
    NSControl::setState(state);
    const gboolean active = state != 0 ? TRUE : FALSE;
    for (const gulong handler : mActionHandlers) {
        g_signal_handler_block(mWidget, handler);
    }
    if (GTK_IS_TOGGLE_BUTTON(mWidget)) {
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(mWidget), active);
    } else if (GTK_IS_CHECK_MENU_ITEM(mWidget)) {
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(mWidget), active);
    }
    for (const gulong handler : mActionHandlers) {
        g_signal_handler_unblock(mWidget, handler);
    }
}

int GtkBackedControl::state() const {
    if (GTK_IS_TOGGLE_BUTTON(mWidget)) {
        return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(mWidget)) ? 1 : 0;
    }
    if (GTK_IS_CHECK_MENU_ITEM(mWidget)) {
        return gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(mWidget)) ? 1 : 0;
    }
    return NSControl::state();
}
