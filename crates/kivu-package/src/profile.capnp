# The per-tile cycle profile: one message per file, unpacked stream framing.
#
# Each field's ordinal fixes its wire position; readers of versions 1 to 3
# rely on those positions, so existing ordinals must never change. Numbers
# left unset read as 0, texts as "", lists as empty, structs as all-default.
@0xcf7e7c0eaf174b8f;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("kivu_package::profile_capnp");

struct Profile {
  schemaVersion @0 :UInt32;          # format version: 1, 2 or 3
  clockHz @1 :UInt64;                # device clock frequency in hertz
  tiles @2 :List(TileProfile);       # one entry per profiled tile
}

struct TileProfile {
  physicalTile @0 :UInt32;           # physical tile number
  samples @1 :List(CycleSample);     # the tile's timed steps
}

struct CycleSample {
  startCycle @0 :UInt32;             # device cycle at which the step began
  endCycle @1 :UInt32;               # device cycle at which the step ended
  step @2 :ProfileStep;              # what the tile was doing meanwhile
}

struct ProfileStep {
  operation @0 :Text;                # name of the operation
  kernel @1 :Text;                   # name of the kernel
  localIndex @2 :UInt32;             # index of the step
  phase @3 :UInt32;                  # phase number
  epoch @4 :UInt32;                  # epoch number
  kind @5 :StepKind;                 # kind of activity
  metadata @6 :List(MetadataEntry);  # free-form annotations
}

struct MetadataEntry {
  name @0 :Text;
  value @1 :Text;
}

enum StepKind {
  exchange @0;
  compute @1;
  synchronization @2;
  idle @3;
}
