"""The thread engine written in plain Python: the baseline the extension module is
measured against. Same record, same command hand-over, same worker loop."""

import threading

from loguru import logger


class PyThreadEngine:
    def __init__(self, engine_factory):
        self._engine_factory = engine_factory
        self.trees = {}
        self.action_registrations = []
        logger.info("初始化线程引擎")

    def register_action_behavior(self, action_id, tick_functor, ports_list):
        logger.info(f"注册动作节点: {action_id}")
        self.action_registrations.append((action_id, tick_functor, ports_list))

    def _run_tree(self, tree_id, xml_text):
        thread_data = self.trees[tree_id]
        cond, command, result = thread_data["cond"], thread_data["command"], thread_data["result"]
        try:
            engine = self._engine_factory()
            for action_id, tick_functor, ports_list in self.action_registrations:
                engine.register_action_behavior(action_id, tick_functor, ports_list)
            engine.create_tree_from_text(xml_text)
            while True:
                with cond:
                    while command[0] is None:
                        cond.wait()
                    if command[0] is False:
                        break
                    self._process_command(engine, command[0], tree_id, result)
                    command[0] = None
                    cond.notify()
        except Exception as e:
            error_msg = f"行为树线程 {tree_id} 发生错误: {e}"
            logger.error(error_msg)
            with cond:
                result[0] = ("error", tree_id, error_msg)
                cond.notify()

    def _process_command(self, engine, command, tree_id, result):
        command_type = command.get("type")
        params = command.get("params", {})
        try:
            if command_type == "tick_once":
                result[0] = ("tick_once", tree_id, engine.tick_once())
            elif command_type == "get_blackboard_data":
                result[0] = ("get_blackboard_data", tree_id, engine.get_blackboard_data(params.get("key")))
            else:
                error_msg = f"未知命令类型: {command_type}"
                logger.error(error_msg)
                result[0] = ("error", tree_id, error_msg)
        except Exception as e:
            error_msg = f"处理命令 {command_type} 时发生错误: {e}"
            logger.error(error_msg)
            result[0] = ("error", tree_id, error_msg)

    def create_tree_from_text(self, xml_text, tree_id=None):
        if tree_id is None:
            tree_id = f"tree_{len(self.trees)}"
        if tree_id in self.trees:
            raise ValueError(f"行为树ID {tree_id} 已存在")
        thread_data = {"cond": threading.Condition(), "command": [None], "result": [None], "thread": None}
        self.trees[tree_id] = thread_data
        thread = threading.Thread(target=self._run_tree, args=(tree_id, xml_text))
        thread_data["thread"] = thread
        thread.start()
        logger.info(f"创建行为树: {tree_id}")
        return tree_id

    def _send_command(self, tree_id, command_type, params=None):
        if tree_id not in self.trees:
            raise ValueError(f"行为树ID {tree_id} 不存在")
        thread_data = self.trees[tree_id]
        cond, command, result = thread_data["cond"], thread_data["command"], thread_data["result"]
        with cond:
            command[0] = {"type": command_type, "params": params or {}}
            cond.notify()
            while result[0] is None:
                cond.wait()
            result_type, _, result_value = result[0]
            result[0] = None
            if result_type == "error":
                raise RuntimeError(f"行为树 {tree_id} 执行命令 {command_type} 失败: {result_value}")
            return result_value

    def tick_once(self, tree_id):
        if type(tree_id) is not str:
            raise TypeError("tree_id")
        return self._send_command(tree_id, "tick_once")

    def stop_tree(self, tree_id):
        thread_data = self.trees[tree_id]
        with thread_data["cond"]:
            thread_data["command"][0] = False
            thread_data["cond"].notify()
        thread_data["thread"].join()
        del self.trees[tree_id]
        logger.info(f"停止行为树: {tree_id}")

    def stop_all_trees(self):
        for tree_id in list(self.trees):
            self.stop_tree(tree_id)
        logger.info("停止所有行为树")
