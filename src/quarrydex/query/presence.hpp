// The presence leaf (`has`): the objects that hold an attribute, whatever
// its value. Every value leaves an id in exactly one place of the attribute's
// value index: a number, string or boolean structure, the hashed map (nested
// and other objects, None), the proxy table (containers with members, keyed
// by their holder) or the valueless set (NaN, empty containers). Presence is
// the union of those places, confined to the universe.
//
// Takes the components' read locks one at a time; never calls Python.
#pragma once

#include "structures/bitmap.hpp"

namespace qdx {

class ValueIndex;

// Ids of `universe` that hold a value in this attribute.
Bitmap presence_lookup(ValueIndex& index, const Bitmap& universe);

}  // namespace qdx
