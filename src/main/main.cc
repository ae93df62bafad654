#include "main/app.h"
#include "main/entry.h"
#include "main/seams.h"

int main() {
    return pacpick::run_entry([] { return pacpick::main_task(pacpick::open_terminal_events); });
}
