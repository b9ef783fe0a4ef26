# SPDX-License-Identifier: Apache-2.0
set terminal pngcairo size 900,600
set output 'docs/bench-recall-qps.png'
set termoption noenhanced
set logscale y
set xlabel 'recall@10'
set ylabel 'queries per second'
set key bottom left
set grid
set title "recall vs QPS: mnist-t10k-images-idx3-ubyte.gz (9000 base, 1000 queries, dim 784)"
plot 'docs/bench-hnsw.dat' with linespoints title 'zevud hnsw', 'docs/bench-ivf.dat' with linespoints title 'zevud ivf', 'docs/bench-flat.dat' with linespoints title 'zevud flat', 'docs/bench-hnswlib.dat' with linespoints title "hnswlib m=16 efc=200", 'docs/bench-faiss-ivf.dat' with linespoints title "FAISS IndexIVFFlat nlist=379"
