// A window library from another build: its interface version is not the
// program's, so the program must refuse it before calling anything else.
extern "C" __attribute__((visibility("default"))) int tarvel_gui_interface_version() { return 99; }
extern "C" __attribute__((visibility("default"))) int tarvel_gui_run(int, char**) { return 42; }
extern "C" __attribute__((visibility("default"))) void tarvel_gui_message_box(int, const char*, const char*) {
}
