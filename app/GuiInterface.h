/* The one interface between the program and its window library
   (libtarvel-gui.so): plain C, versioned, one exported symbol. The library
   carries its own copy of everything below the windows, so it needs nothing
   from the program but what this table hands it; the program exports
   nothing. Raise the version whenever a field changes: the program refuses
   a library of another version before it calls anything of it. */
#ifndef TARVEL_GUI_INTERFACE_H
#define TARVEL_GUI_INTERFACE_H

#ifdef __cplusplus
extern "C" {
#endif

#define TARVEL_GUI_INTERFACE_VERSION 2

/* What the program gives the library. */
struct tarvel_gui_host {
  int version;
  /* Read end of the program's stop pipe (a byte per SIGINT/SIGTERM), or -1:
     an open message box ends when it becomes readable. */
  int stop_fd;
};

/* What the library offers; its first field is always the version. */
struct tarvel_gui_table {
  int version;
  /* Window mode: the start-up window and everything after it; returns the
     exit status. The library installs its own stop handlers and writes its
     trace before it returns (or ends the process by the stop signal). */
  int (*run)(int argc, char** argv, const struct tarvel_gui_host* host);
  /* A modal alert box: icon 1 warning, 2 error; returns on OK. */
  void (*message_box)(const struct tarvel_gui_host* host, int icon, const char* title, const char* text);
};

/* The library's only export, named "tarvel_gui_entry". */
typedef const struct tarvel_gui_table* (*tarvel_gui_entry_function)(void);

#ifdef __cplusplus
}
#endif

#endif
