#include "platform/ports.h"

namespace wattkeeper {

Ports& processPorts() {
    static Ports ports;
    return ports;
}

}  // namespace wattkeeper
