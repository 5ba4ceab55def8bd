"""`morvlen nodes`: the node models, built-in and registered, as text or XML."""

from __future__ import annotations

import textwrap
import xml.etree.ElementTree as ElementTree

from morvlen.core import BehaviorTreeFactory

PORT_KINDS = {"input_port": "in", "output_port": "out", "inout_port": "inout"}


def describe_node(element: ElementTree.Element) -> list[str]:
    lines = [f"{element.get('ID')} ({element.tag})"]
    description = element.findtext("description")
    if description:
        lines += textwrap.wrap(description, width=88, initial_indent="    ", subsequent_indent="    ")
    for port in element:
        if port.tag not in PORT_KINDS:
            continue
        default = f" = {port.get('default')}" if port.get("default") is not None else ""
        text = f": {port.text.strip()}" if port.text and port.text.strip() else ""
        lines.append(f"    {PORT_KINDS[port.tag]:<5} {port.get('name')} <{port.get('type')}>{default}{text}")
    return lines


def models_text(model_xml: str) -> str:
    models = ElementTree.fromstring(model_xml).find("TreeNodesModel")
    return "\n".join(line for element in models for line in describe_node(element))


def run_nodes(factory: BehaviorTreeFactory, as_xml: bool) -> None:
    model = factory.tree_nodes_model(include_builtins=True)
    print(model if as_xml else models_text(model))
