"""A program using the public Python API, type-checked with mypy --strict.

It is checked, not run: the LLM calls below would need a provider."""

from typing import Any, Dict, List

from tavro import lpwriter, modelwright, solver, tokenmeter
from tavro.rag_helper import rank_problem_descriptions
from tavro.tavro_core import KelmCompiler, SemanticError


def compile_pair(model_code: str, data_code: str) -> Dict[str, Any]:
    try:
        return KelmCompiler().compile_model(model_code, data_code)
    except SemanticError as e:
        print("rejected:", e)
        raise


def compile_with_tables(model_code: str, data_code: str, folder: str) -> Dict[str, Any]:
    # the data binds CSV tables with csv(...), read from folder
    return KelmCompiler().compile_model(model_code, data_code, data_dir=folder)


def build_from_python(model_code: str) -> Any:
    return solver.build_problem(model_code, {"n": 3, "cost": [1.0, 2.0, 3.0], "Sites": {"a", "b"}})


def scipy_script(model_code: str, data_code: str) -> Any:
    compiled = compile_pair(model_code, data_code)
    generator = lpwriter.SciPyCodeGenerator(compiled, compiled["data"])
    assert isinstance(generator, lpwriter.SciPyCodeGeneratorBase)
    return generator.generate_code()


def author(description: str) -> str:
    messages: List[str] = []
    assessment: str = modelwright.generative_solve(description, "out/m.mod", "out/m.dat", model_name="gpt-5",
                                                   mode=modelwright.Grammar.BNF, iterations=3,
                                                   progress=messages.append)
    stats: Dict[str, Any] = modelwright.generative_solve(description, "out/m.mod", "out/m.dat",
                                                         return_statistics=True, llm_provider="ollama",
                                                         model_name="llama3")
    usage: Dict[str, int] = stats["cost"]["usage"]
    return assessment + " (%d tokens)" % (usage["prompt_tokens"] + usage["completion_tokens"])


def ask(question: str) -> str:
    reply = modelwright.generative_feedback(question, "out/m.mod", "out/m.dat", temperature=0.0)
    revised = reply.get("revised_model")
    return reply["feedback"] + ("\n" + revised if revised else "")


def price(model: str, prompt_tokens: int, completion_tokens: int) -> float:
    class Args:
        def __init__(self, model: str) -> None:
            self.model = model

    tokenmeter.PRICING_URL = "pricing.md"
    costs = tokenmeter.estimate_costs(Args(model), {"prompt_tokens": prompt_tokens,
                                                    "completion_tokens": completion_tokens})
    return costs["total_cost"]


def providers() -> List[str]:
    names = modelwright.list_models("ollama")
    chosen = modelwright._infer_provider(None, "gemini-1.5-pro")
    assert chosen is modelwright.LLMProvider.GOOGLE
    text, usage = modelwright._llm_generate_text(chosen, "gemini-1.5-pro", "Say hi.", capture_usage=True)
    hits = rank_problem_descriptions(query=text, models_dir="examples", top_k=3)
    return names + [str(h["path"]) for h in hits] + [str(usage["prompt_tokens"])]


def solve(model_file: str, data_file: str) -> Dict[str, float]:
    from tavro import solver

    options = solver.SolveOptions(time_limit=30.0, ranging=True)
    result: solver.Solution = solver.solve_files(model_file, data_file, options=options)
    if result.status == "optimal" and result.max_violation is not None:
        print(result.objective, result.warnings, result.notes, result.values.get("take"))
    problem = solver.build_problem("dvar float+ x; minimize z: x;", "")
    renamed: Dict[str, str] = problem.write("out/m.mps")
    print(problem.column_name(0), problem.column_index("x"), renamed)
    return result.flat()
