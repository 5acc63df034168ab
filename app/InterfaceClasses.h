#pragma once

// Makes the program's classes known to the interface file: what it may create, the
// outlets it may connect and the actions its controls may send.
void registerInterfaceClasses();
