// A Fenwa0 writer for the tests. The library only reads Fenwa0, so streams
// for its decoder are made here, from the format's rules and independently of
// the decoder's code: a 31-bit arithmetic coder writing bits into 32-bit words
// from their least significant bit, adaptive models with the escape rank and
// the bucketed rescale, and a greedy LZ77 parse into length and offset tokens.
#ifndef KELVO_FENWA0_TEST_ENCODER_H
#define KELVO_FENWA0_TEST_ENCODER_H

#include <stdint.h>

#include <algorithm>
#include <set>
#include <vector>

namespace fenwa0_test {

class bit_writer {
  public:
    void Put(uint32_t Bit) {
        if (Count % 32 == 0) {
            Words.push_back(0);
        }
        Words.back() |= (Bit & 1u) << (Count % 32);
        ++Count;
    }
    std::vector<uint32_t> Words;
    uint64_t Count = 0;
};

class arithmetic_encoder {
  public:
    explicit arithmetic_encoder(bit_writer &Out) : Out(Out) {}

    void Encode(uint32_t Cum, uint32_t Count, uint32_t Total) {
        uint64_t Range = (uint64_t)(High - Low) + 1;
        High = Low + (uint32_t)(Range * (Cum + Count) / Total) - 1;
        Low = Low + (uint32_t)(Range * Cum / Total);
        for (;;) {
            if (High < 0x40000000u) {
                Emit(0);
            } else if (Low >= 0x40000000u) {
                Emit(1);
                Low -= 0x40000000u;
                High -= 0x40000000u;
            } else if (Low >= 0x20000000u && High < 0x60000000u) {
                ++Pending;
                Low -= 0x20000000u;
                High -= 0x20000000u;
            } else {
                break;
            }
            Low = 2 * Low;
            High = 2 * High + 1;
        }
    }

    void Finish() {
        ++Pending;
        Emit(Low < 0x20000000u ? 0 : 1);
    }

  private:
    void Emit(uint32_t Bit) {
        Out.Put(Bit);
        for (; Pending > 0; --Pending) {
            Out.Put(Bit ^ 1u);
        }
    }
    bit_writer &Out;
    uint32_t Low = 0, High = 0x7FFFFFFFu;
    int Pending = 0;
};

// Bucket size exponent and limit of the rescale, for X ranks.
inline void BucketParameters(int64_t X, int &Shift, int64_t &Limit) {
    Shift = 15;
    Limit = 0;
    if (X <= 5) {
        return;
    }
    int64_t Best = 0xFFFFFFFFll;
    for (int I = 0; I <= 15; ++I) {
        int64_t E = (int64_t)1 << I;
        int64_t F = (X + E - 1) / E;
        int64_t G = std::max<int64_t>(X - E * (F < 17 ? F - 1 : 15), E);
        if (G < Best) {
            Shift = I;
        }
        if (E > X) {
            break;
        }
        Best = std::min(Best, G);
    }
    Limit = (int64_t)15 << Shift;
}

class model {
  public:
    // Ranks are added as they come: M may be far larger than what is used.
    explicit model(int MaximumSymbols) : M(MaximumSymbols), Count(1, 3), Symbol(1, 0) {}

    void Encode(arithmetic_encoder &Coder, uint32_t Value, uint32_t UniformRange) {
        if (Total() > 0x3FFF) {
            Rescale();
        }
        uint32_t const T = Total();
        uint32_t Cum = Count[0];
        for (int Rank = 1; Rank <= N; ++Rank) {
            if (Symbol[Rank] == Value) {
                Coder.Encode(Cum, Count[Rank], T);
                ++Count[Rank];
                return;
            }
            Cum += Count[Rank];
        }
        Coder.Encode(0, Count[0], T);
        ++Count[0];
        ++N;
        if ((int)Count.size() <= N) {
            Count.push_back(0);
            Symbol.push_back(0);
        }
        Count[N] = 2;
        Symbol[N] = Value;
        if (N == M) {
            Count[0] = 0;
        }
        Coder.Encode(Value, 1, UniformRange);
    }

  private:
    uint32_t Total() const {
        uint32_t Sum = 0;
        for (int Rank = 0; Rank <= N; ++Rank) {
            Sum += Count[Rank];
        }
        return Sum;
    }

    void Rescale() {
        Count[0] >>= 1;
        int Shift;
        int64_t Limit;
        BucketParameters(N + 1, Shift, Limit);
        uint32_t Largest = 0;
        int LargestRank = 0;
        int I = 1;
        while (I <= N) {
            bool Stop = false;
            while (Count[I] < 2) {
                if (I >= N) {
                    Count[I] = 0;
                    --N;
                    Stop = true;
                    break;
                }
                Count[I] = Count[N];
                Symbol[I] = Symbol[N];
                Count[N] = 0;
                --N;
            }
            if (Stop) {
                break;
            }
            Count[I] >>= 1;
            if (Count[I] > Largest) {
                Largest = Count[I];
                LargestRank = I;
            }
            ++I;
        }
        if (Largest != 0) {
            int64_t A = N < Limit ? (N >> Shift) << Shift : Limit;
            if (A == 0) {
                A = 1;
            }
            if (A != LargestRank) {
                std::swap(Count[A], Count[LargestRank]);
                std::swap(Symbol[A], Symbol[LargestRank]);
            }
        }
        if (N != M && Count[0] == 0) {
            Count[0] = 2;
        }
    }

    int M;
    int N = 0;
    std::vector<uint16_t> Count;
    std::vector<uint32_t> Symbol;
};

struct token {
    int LengthSymbol; // 0 for a literal
    uint8_t Literal;
    uint32_t Offset;
};

inline int TokenLength(int Symbol) {
    static int const Long[4] = {128, 192, 256, 512};
    return Symbol == 0 ? 1 : Symbol < 61 ? Symbol + 1 : Long[Symbol - 61];
}

// Greedy: the longest match within the window (searched back to SearchLimit
// bytes), cut to a length that has a symbol.
inline std::vector<token> Parse(uint8_t const *Data, int Size, uint32_t Window, int SearchLimit) {
    std::vector<token> Tokens;
    int Position = 0;
    while (Position < Size) {
        int BestLength = 0;
        uint32_t BestOffset = 0;
        int Reach = (int)std::min<uint32_t>(Window, (uint32_t)std::min(Position, SearchLimit));
        for (int Offset = 1; Offset <= Reach; ++Offset) {
            int Length = 0;
            while (Length < 512 && Position + Length < Size &&
                   Data[Position + Length] == Data[Position + Length - Offset]) {
                ++Length;
            }
            if (Length > BestLength) {
                BestLength = Length;
                BestOffset = (uint32_t)Offset;
            }
        }
        int Symbol = 0;
        for (int Candidate = 64; Candidate >= 1; --Candidate) {
            if (TokenLength(Candidate) <= BestLength) {
                Symbol = Candidate;
                break;
            }
        }
        if (Symbol == 0) {
            Tokens.push_back({0, Data[Position], 0});
        } else {
            Tokens.push_back({Symbol, 0, BestOffset});
        }
        Position += TokenLength(Symbol);
    }
    return Tokens;
}

struct piece_options {
    uint32_t LiteralCount = 256; // L
    uint32_t Window = 0x3FFFF;   // W
    int SearchLimit = 256;
    // Model sizes as small as the piece allows, so that models fill up and
    // drop their escapes; otherwise generous fixed sizes.
    bool Tight = false;
};

// Codes the token lists of the pieces (three for a section, one for a chunk)
// and returns the stored bytes, words reversed when BigEndian.
inline std::vector<uint8_t> Encode(std::vector<std::vector<token>> const &Pieces,
                                   piece_options const &Options, bool BigEndian) {
    bit_writer Bits;
    arithmetic_encoder Coder(Bits);
    std::vector<uint32_t> Headers;
    for (std::vector<token> const &Tokens : Pieces) {
        // Distinct values per model bound how many ranks each can need.
        std::set<uint32_t> Literals, Mids;
        std::set<uint32_t> Lengths[65];
        uint32_t Previous = 0;
        for (token const &Token : Tokens) {
            Lengths[Previous].insert((uint32_t)Token.LengthSymbol);
            Previous = (uint32_t)Token.LengthSymbol;
            if (Token.LengthSymbol == 0) {
                Literals.insert(Token.Literal);
            } else {
                Mids.insert((Token.Offset - 1) >> 2);
            }
        }
        uint32_t LiteralM = Options.Tight ? std::max<uint32_t>(1, (uint32_t)Literals.size()) : 300;
        uint32_t MidM = Options.Tight ? std::max<uint32_t>(1, (uint32_t)Mids.size()) : 70000;
        uint32_t LengthM[65];
        uint32_t Word2 = 0;
        for (int Group = 0; Group < 4; ++Group) {
            uint32_t Size = 1;
            for (int Model = 16 * Group; Model < (Group == 3 ? 65 : 16 * Group + 16); ++Model) {
                Size = std::max<uint32_t>(Size, (uint32_t)Lengths[Model].size());
            }
            Size = Options.Tight ? Size : 65;
            Word2 = (Word2 << 8) | Size;
            for (int Model = 16 * Group; Model < (Group == 3 ? 65 : 16 * Group + 16); ++Model) {
                LengthM[Model] = Size;
            }
        }
        uint32_t Word0 = Options.LiteralCount | Options.Window << 9;
        uint32_t LowCount = Word0 < 2048 ? Options.Window : 4;
        Headers.push_back(Word0);
        Headers.push_back(LiteralM | MidM << 9);
        Headers.push_back(Word2);

        std::vector<model> Length;
        for (int Model = 0; Model < 65; ++Model) {
            Length.emplace_back((int)LengthM[Model]);
        }
        model Literal((int)LiteralM), Low((int)LowCount), Mid((int)MidM);
        Previous = 0;
        uint32_t Decoded = 0;
        for (token const &Token : Tokens) {
            Length[Previous].Encode(Coder, (uint32_t)Token.LengthSymbol, 65);
            Previous = (uint32_t)Token.LengthSymbol;
            if (Token.LengthSymbol == 0) {
                Literal.Encode(Coder, Token.Literal, Options.LiteralCount);
            } else {
                uint32_t Reach = std::min(Decoded, Options.Window);
                Low.Encode(Coder, (Token.Offset - 1) & 3, LowCount);
                Mid.Encode(Coder, (Token.Offset - 1) >> 2, Reach / 4 + 1);
            }
            Decoded += (uint32_t)TokenLength(Token.LengthSymbol);
        }
    }
    Coder.Finish();

    std::vector<uint32_t> Words = Headers;
    Words.insert(Words.end(), Bits.Words.begin(), Bits.Words.end());
    std::vector<uint8_t> Stored(4 * Words.size());
    for (size_t Index = 0; Index < Words.size(); ++Index) {
        uint32_t Word = Words[Index];
        for (int Byte = 0; Byte < 4; ++Byte) {
            int Shift = BigEndian ? 24 - 8 * Byte : 8 * Byte;
            Stored[4 * Index + Byte] = (uint8_t)(Word >> Shift);
        }
    }
    return Stored;
}

// Parses Data split at Stops greedily and codes it.
inline std::vector<uint8_t> Compress(std::vector<uint8_t> const &Data,
                                     std::vector<int> const &Stops, piece_options const &Options,
                                     bool BigEndian) {
    std::vector<std::vector<token>> Pieces;
    int Start = 0;
    for (int Stop : Stops) {
        Pieces.push_back(
            Parse(Data.data() + Start, Stop - Start, Options.Window, Options.SearchLimit));
        Start = Stop;
    }
    return Encode(Pieces, Options, BigEndian);
}

} // namespace fenwa0_test

#endif
