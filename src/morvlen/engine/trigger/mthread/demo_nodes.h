#pragma once
// The two agent action node classes of the demonstration. They exist only when
// the module runs as the main program, so they are built at run time, in the
// module's namespace, rather than defined when the module loads.

#include "morvlen/engine/trigger/mthread/demo_calls.h"

namespace morvlen::mthread::demo {

// class CreateAgentOllama(SimpleActionNode): builds an agno Agent on an Ollama
// model from the inputs model_id and description and writes it to the output
// agent. Returns the new class (null with an exception set on failure).
Ref make_create_agent_class(PyObject* module);

// class GetStreamResponse(SimpleActionNode): starts a streamed run of the agent
// input on the user_input text and writes the stream to response_stream.
Ref make_stream_response_class(PyObject* module);

}  // namespace morvlen::mthread::demo
