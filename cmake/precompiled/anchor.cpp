// Gives the precompiled header targets a unit to compile.
