// The writers for the three sinks are instantiated once here; their member
// functions stay inline in every user.
#include "utils/msgpack_writer.hpp"

namespace sarn {

template class Writer<StringSink>;
template class Writer<CountingSink>;
template class Writer<PointerSink>;
template void write_value(Writer<StringSink>&, const Value&);
template void write_value(Writer<CountingSink>&, const Value&);
template void write_value(Writer<PointerSink>&, const Value&);

}  // namespace sarn
